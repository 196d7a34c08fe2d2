#include "sim/peer/PeerLineHandler.h"

#include <cstdio>
#include <stdexcept>

namespace simpeer {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> Tokens(const std::string& s)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i]))
            ++i;
        size_t start = i;
        while (i < s.size() && !IsBlank(s[i]))
            ++i;
        if (i > start)
            out.push_back(s.substr(start, i - start));
    }
    return out;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string StripHexPrefix(const std::string& t)
{
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        return t.substr(2);
    return t;
}

std::string Hex8(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::vector<std::string> Error(const std::string& text) { return {"error: " + text}; }

}  // namespace

bool ParseHex64(const std::string& text, uint64_t& value)
{
    const std::string digits = StripHexPrefix(text);
    if (digits.empty())
        return false;
    uint64_t v = 0;
    for (char c : digits) {
        const int d = HexValue(c);
        if (d < 0 || (v >> 60) != 0)
            return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    value = v;
    return true;
}

bool ParseHex32(const std::string& text, uint32_t& value)
{
    uint64_t v = 0;
    if (!ParseHex64(text, v) || v > 0xffffffffull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseDecimal(const std::string& text, uint64_t max, uint64_t& value)
{
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes)
{
    const std::string digits = StripHexPrefix(text);
    if (digits.empty())
        return false;
    bytes.assign((digits.size() + 1) / 2, 0);
    for (size_t i = 0; i < digits.size(); ++i) {
        const int d = HexValue(digits[digits.size() - 1 - i]);  // least significant digit first
        if (d < 0)
            return false;
        bytes[i / 2] |= static_cast<uint8_t>(d << (4 * (i % 2)));
    }
    return true;
}

std::string FormatHexBits(const std::vector<uint8_t>& bytes, size_t bits)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    const size_t nibbles = (bits + 3) / 4;
    for (size_t n = nibbles; n-- > 0;) {
        unsigned v = 0;
        for (size_t b = 0; b < 4; ++b) {
            const size_t k = n * 4 + b;
            if (k < bits && k / 8 < bytes.size() && ((bytes[k / 8] >> (k % 8)) & 1))
                v |= 1u << b;
        }
        if (out.empty() && v == 0)
            continue;  // no leading zeros
        out += kDigits[v];
    }
    return "0x" + (out.empty() ? std::string("0") : out);
}

CPeerLineHandler::CPeerLineHandler(std::vector<simtap::TapConfig> chain, simtap::Memory& memory,
                                   std::string protocol)
    : m_Configs(std::move(chain)), m_Memory(memory), m_Protocol(std::move(protocol))
{
    if (m_Protocol.empty() || m_Protocol.find_first_of("\r\n") != std::string::npos)
        throw std::invalid_argument("protocol name must be one non-empty line");
    StartConnection();
}

std::vector<std::string> CPeerLineHandler::Greeting() const
{
    return {"kestrad-sim JTAG target simulator", "protocol " + m_Protocol};
}

void CPeerLineHandler::StartConnection()
{
    m_Chain = std::make_unique<simtap::Chain>(m_Configs);
    m_Nrst = true;
}

std::string CPeerLineHandler::CommandName(const std::string& line)
{
    const auto t = Tokens(line);
    return t.empty() ? std::string() : t[0];
}

std::vector<std::string> CPeerLineHandler::HandleLine(const std::string& raw)
{
    std::string line = raw;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const Args tokens = Tokens(line);
    if (tokens.empty())
        return Error("empty command");
    const std::string& cmd = tokens[0];
    const Args args(tokens.begin() + 1, tokens.end());
    const std::string rest = line.substr(line.find(cmd) + cmd.size());

    if (cmd == "reset")
        return Reset(args);
    if (cmd == "run")
        return Run(args);
    if (cmd == "set_trst")
        return SetLine(args, true);
    if (cmd == "set_nrst")
        return SetLine(args, false);
    if (cmd == "wait")
        return Wait(args);
    if (cmd == "wrIR")
        return WriteIR(args);
    if (cmd == "wrDR")
        return WriteDR(args);
    if (cmd == "dump")
        return Dump(args);
    if (cmd == "write_mem")
        return WriteMem(rest);
    if (cmd == "save")
        return Save(args);
    // The word commands belong to the DSP cluster model only; the RTL model
    // (and any other protocol) takes every access through dump/write_mem.
    if ((cmd == "read_word32" || cmd == "write_word32") && !WordCommandsAllowed())
        return Error(cmd + " is not supported by protocol " + m_Protocol);
    if (cmd == "read_word32")
        return ReadWord32(args);
    if (cmd == "write_word32")
        return WriteWord32(rest);
    return Error("unknown command " + cmd);
}

bool CPeerLineHandler::WordCommandsAllowed() const { return m_Protocol == kDspProtocol; }

CPeerLineHandler::Reply CPeerLineHandler::Reset(const Args& a)
{
    if (!a.empty())
        return Error("reset takes no arguments");
    m_Chain->Reset();
    return {"ok"};
}

CPeerLineHandler::Reply CPeerLineHandler::Run(const Args& a)
{
    uint64_t n = 0;
    if (a.size() != 1 || !ParseDecimal(a[0], 0xffffffffull, n))
        return Error("usage: run COUNT (decimal, 0 to 4294967295)");
    m_Chain->RunTestIdle(static_cast<unsigned>(n));
    return {"ok"};
}

CPeerLineHandler::Reply CPeerLineHandler::SetLine(const Args& a, bool trst)
{
    const char* name = trst ? "set_trst" : "set_nrst";
    uint64_t v = 0;
    if (a.size() != 1 || !ParseHex64(a[0], v) || v > 1)
        return Error(std::string("usage: ") + name + " 0x0|0x1 (0 drives the line low)");
    if (trst)
        m_Chain->SetTrst(v != 0);
    else
        m_Nrst = v != 0;  // the system reset does not touch the TAPs or the memory
    return {"ok"};
}

CPeerLineHandler::Reply CPeerLineHandler::Wait(const Args& a)
{
    uint64_t n = 0;
    if (a.size() != 1 || !ParseDecimal(a[0], ~0ull, n))
        return Error("usage: wait COUNT (decimal)");
    return {"ok"};  // simulated time does not pass on its own
}

CPeerLineHandler::Reply CPeerLineHandler::WriteIR(const Args& a)
{
    std::vector<uint8_t> in;
    if (a.size() != 1 || !ParseHexBytes(a[0], in))
        return Error("usage: wrIR 0xVALUE (hex)");
    // The peer knows its chain: the value fills the whole IR, excess bits are ignored.
    const size_t bits = m_Chain->TotalIrLength();
    in.resize((bits + 7) / 8, 0);
    const auto out = m_Chain->ScanIR(in.data(), bits, simtap::TapState::RunTestIdle);
    return {"ok " + FormatHexBits(out, bits)};
}

CPeerLineHandler::Reply CPeerLineHandler::WriteDR(const Args& a)
{
    std::vector<uint8_t> in;
    uint64_t bits = 0;
    if (a.size() != 2 || !ParseHexBytes(a[0], in) || !ParseDecimal(a[1], ~0ull, bits))
        return Error("usage: wrDR 0xVALUE LENGTH (hex value, decimal length in bits)");
    if (bits == 0 || bits > kMaxScanBits)
        return Error("wrDR length " + a[1] + " is outside 1.." + std::to_string(kMaxScanBits));
    in.resize((bits + 7) / 8, 0);
    const auto out = m_Chain->ScanDR(in.data(), static_cast<size_t>(bits), simtap::TapState::RunTestIdle);
    return {"ok " + FormatHexBits(out, static_cast<size_t>(bits))};
}

CPeerLineHandler::Reply CPeerLineHandler::Dump(const Args& a)
{
    uint32_t start = 0;
    uint64_t last = 0;
    if (a.size() != 2 || !ParseHex32(a[0], start) || !ParseHex64(a[1], last))
        return Error("usage: dump 0xSTART 0xLASTOFFSET (hex)");
    // Whole 16-byte rows from START up to and including the byte at START + LASTOFFSET.
    if (last >= kMaxDumpBytes)  // checked before any arithmetic that could wrap
        return Error("dump of " + a[1] + " + 1 bytes exceeds the limit of " + std::to_string(kMaxDumpBytes));
    const uint64_t rows = last / 16 + 1;
    Reply reply;
    reply.reserve(static_cast<size_t>(rows) + 1);
    uint32_t addr = start;
    for (uint64_t r = 0; r < rows; ++r) {
        std::string row;
        row.reserve(36);
        for (int w = 0; w < 4; ++w, addr += 4)
            row += Hex8(m_Memory.Read32(addr)) + " ";
        reply.push_back(std::move(row));
    }
    reply.push_back("ok");
    return reply;
}

CPeerLineHandler::Reply CPeerLineHandler::ReadWord32(const Args& a)
{
    uint32_t addr = 0;
    if (a.size() != 1 || !ParseHex32(a[0], addr))
        return Error("usage: read_word32 0xADDRESS (hex)");
    return {Hex8(m_Memory.Read32(addr)), "ok"};
}

namespace {

struct Row {
    uint32_t address = 0;
    std::vector<uint32_t> words;
};

// "w0 w1 ... //AAAAAAAA": the words in address order from the row address.
bool ParseRow(const std::string& text, Row& row)
{
    const size_t mark = text.find("//");
    if (mark == std::string::npos)
        return false;
    const auto words = Tokens(text.substr(0, mark));
    const std::string addr = Trim(text.substr(mark + 2));
    if (words.empty() || !ParseHex32(addr, row.address))
        return false;
    row.words.clear();
    for (const auto& w : words) {
        uint32_t v = 0;
        if (!ParseHex32(w, v))
            return false;
        row.words.push_back(v);
    }
    return true;
}

}  // namespace

CPeerLineHandler::Reply CPeerLineHandler::WriteMem(const std::string& rest)
{
    // Parse every entry before writing any, so a malformed command changes nothing.
    std::vector<Row> rows;
    size_t start = 0;
    for (;;) {
        const size_t comma = rest.find(',', start);
        const std::string entry = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Row row;
        if (!ParseRow(entry, row))
            return Error("bad write_mem entry '" + Trim(entry) + "' (expected \"w0 w1 w2 w3 //ADDRESS\", hex)");
        rows.push_back(std::move(row));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    for (const Row& row : rows)
        for (size_t i = 0; i < row.words.size(); ++i)
            m_Memory.Write32(row.address + static_cast<uint32_t>(4 * i), row.words[i]);
    return {"ok"};
}

CPeerLineHandler::Reply CPeerLineHandler::WriteWord32(const std::string& rest)
{
    Row row;
    if (!ParseRow(rest, row) || row.words.size() != 1)
        return Error("usage: write_word32 WORD //ADDRESS (hex)");
    m_Memory.Write32(row.address, row.words[0]);
    return {"ok"};
}

CPeerLineHandler::Reply CPeerLineHandler::Save(const Args& a)
{
    // A savepoint of this model records only its name: the simulated target
    // has no run state worth keeping, and a peer must not write files named
    // by the network.
    if (a.size() != 1)
        return Error("usage: save NAME");
    m_LastSavepoint = a[0];
    return {"saving " + a[0], "ok"};
}

}  // namespace simpeer
