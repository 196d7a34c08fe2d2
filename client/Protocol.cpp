#include "client/Protocol.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "base/ByteOrder.h"
#include "wire/Packets.h"

namespace kestrad::client {

namespace {

void CheckIRLength(uint32_t length)
{
    if (length < 1 || length > 32)
        throw std::invalid_argument("ShiftIR: bad length " + std::to_string(length) +
                                    " (1 to 32 bits)");
}

void ValidateDataScan(const std::vector<uint8_t>& bits, uint32_t length, const char* what)
{
    if (length == 0 || length > static_cast<uint32_t>(MAX_SHIFT_DR_BITS))
        throw std::invalid_argument(std::string(what) + ": bad length " + std::to_string(length));
    if (bits.size() != BitBytes(length))
        throw std::invalid_argument(std::string(what) + ": " + std::to_string(length) +
                                    " bits need " + std::to_string(BitBytes(length)) +
                                    " bytes, got " + std::to_string(bits.size()));
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

// ---- tap states ----------------------------------------------------------

const char* TapStateName(TapState state)
{
    switch (state) {
    case TapState::TestLogicReset: return "TEST_LOGIC_RESET";
    case TapState::RunTestIdle: return "RUN_TEST_IDLE";
    case TapState::ShiftDR: return "SHIFT_DR";
    case TapState::ShiftIR: return "SHIFT_IR";
    case TapState::Exit1DR: return "EXIT1_DR";
    case TapState::Exit1IR: return "EXIT1_IR";
    case TapState::PauseDR: return "PAUSE_DR";
    case TapState::PauseIR: return "PAUSE_IR";
    }
    return "?";
}

std::optional<TapState> ParseTapState(const std::string& text)
{
    std::string t = Lower(text);
    std::replace(t.begin(), t.end(), '-', '_');
    if (t.size() == 1 && t[0] >= '0' && t[0] <= '7')
        return static_cast<TapState>(t[0] - '0');
    static const struct {
        const char* name;
        TapState state;
    } names[] = {
        {"test_logic_reset", TapState::TestLogicReset}, {"reset", TapState::TestLogicReset},
        {"run_test_idle", TapState::RunTestIdle},       {"idle", TapState::RunTestIdle},
        {"shift_dr", TapState::ShiftDR},                {"drshift", TapState::ShiftDR},
        {"shift_ir", TapState::ShiftIR},                {"irshift", TapState::ShiftIR},
        {"exit1_dr", TapState::Exit1DR},                {"drexit1", TapState::Exit1DR},
        {"exit1_ir", TapState::Exit1IR},                {"irexit1", TapState::Exit1IR},
        {"pause_dr", TapState::PauseDR},                {"drpause", TapState::PauseDR},
        {"pause_ir", TapState::PauseIR},                {"irpause", TapState::PauseIR},
    };
    for (const auto& n : names)
        if (t == n.name)
            return n.state;
    return std::nullopt;
}

// ---- adapter list --------------------------------------------------------

std::vector<AdapterInfo> ParseAdapterList(const uint8_t* data, size_t size)
{
    std::vector<AdapterInfo> out;
    size_t pos = 0;
    while (pos < size) {
        const size_t start = pos;
        if (size - pos < 2)
            throw ProtocolError("malformed adapter list: truncated record at offset " +
                                std::to_string(start));
        const unsigned count = data[pos];
        if (count != 2 && count != 3)
            throw ProtocolError("malformed adapter list: string count " + std::to_string(count) +
                                " at offset " + std::to_string(start));
        if (data[pos + 1] != 0)
            throw ProtocolError("malformed adapter list: byte 1 of the record at offset " +
                                std::to_string(start) + " is not 0");
        pos += 2;
        std::string strings[3];
        for (unsigned i = 0; i < count; ++i) {
            const void* nul = std::memchr(data + pos, 0, size - pos);
            if (!nul)
                throw ProtocolError("malformed adapter list: unterminated string in the record "
                                    "at offset " + std::to_string(start));
            const size_t len = static_cast<const uint8_t*>(nul) - (data + pos);
            strings[i].assign(reinterpret_cast<const char*>(data + pos), len);
            pos += len + 1;
        }
        AdapterInfo info;
        info.name = std::move(strings[0]);
        info.chipName = std::move(strings[1]);
        if (count == 3)
            info.serial = std::move(strings[2]);
        out.push_back(std::move(info));
    }
    return out;
}

// ---- batches -------------------------------------------------------------

CBatch& CBatch::ShiftIR(uint32_t value, uint32_t length, TapState end)
{
    CheckIRLength(length);
    AppendLE32(m_body, ASYNC_CMD_SHIFT_IR);
    AppendLE32(m_body, 12);
    AppendLE32(m_body, value);
    AppendLE32(m_body, length);
    AppendLE32(m_body, static_cast<uint32_t>(end));
    const size_t result = BitBytes(length);
    m_scans.push_back({Kind::ShiftIR, length, result});
    m_resultBytes += result;
    return *this;
}

CBatch& CBatch::ShiftDR(const std::vector<uint8_t>& bits, uint32_t length, TapState end)
{
    AddDataScan(ASYNC_CMD_SHIFT_DR, bits, length, end, Kind::ShiftDR);
    return *this;
}

CBatch& CBatch::WriteDR(const std::vector<uint8_t>& bits, uint32_t length, TapState end)
{
    AddDataScan(ASYNC_CMD_WRITE_DR, bits, length, end, Kind::WriteDR);
    return *this;
}

void CBatch::AddDataScan(uint32_t code, const std::vector<uint8_t>& bits, uint32_t length,
                         TapState end, Kind kind)
{
    ValidateDataScan(bits, length, kind == Kind::ShiftDR ? "ShiftDR" : "WriteDR");
    if (m_body.size() + 16 + bits.size() > MAX_COMMAND_BODY)
        throw std::invalid_argument("batch too large: over " + std::to_string(MAX_COMMAND_BODY) +
                                    " bytes");
    AppendLE32(m_body, code);
    AppendLE32(m_body, static_cast<uint32_t>(8 + bits.size()));
    AppendLE32(m_body, length);
    AppendLE32(m_body, static_cast<uint32_t>(end));
    m_body.insert(m_body.end(), bits.begin(), bits.end());
    const size_t result = kind == Kind::ShiftDR ? bits.size() : 0;
    m_scans.push_back({kind, length, result});
    m_resultBytes += result;
}

void CBatch::Clear()
{
    m_scans.clear();
    m_body.clear();
    m_resultBytes = 0;
}

std::vector<std::vector<uint8_t>> CBatch::Split(const std::vector<uint8_t>& reply) const
{
    if (reply.size() != m_resultBytes)
        throw ProtocolError("batch reply has " + std::to_string(reply.size()) +
                            " bytes, expected " + std::to_string(m_resultBytes));
    std::vector<std::vector<uint8_t>> out;
    out.reserve(m_scans.size());
    size_t pos = 0;
    for (const Scan& scan : m_scans) {
        out.emplace_back(reply.begin() + pos, reply.begin() + pos + scan.resultBytes);
        pos += scan.resultBytes;
    }
    return out;
}

// ---- command bodies ------------------------------------------------------

namespace body {

std::vector<uint8_t> Packet(uint32_t code, const uint8_t* data, size_t size)
{
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::invalid_argument("command body of " + std::to_string(size) +
                                    " bytes does not fit the length field");
    std::vector<uint8_t> packet;
    packet.reserve(sizeof(CCmdPacketHdr) + size);
    AppendLE32(packet, code);
    AppendLE32(packet, static_cast<uint32_t>(size));
    if (size)
        packet.insert(packet.end(), data, data + size);
    return packet;
}

std::vector<uint8_t> Name(const std::string& name)
{
    if (name.size() > 254)
        throw std::invalid_argument("adapter name longer than 254 characters");
    std::vector<uint8_t> out(name.begin(), name.end());
    out.push_back(0);
    return out;
}

std::vector<uint8_t> Word(uint32_t word)
{
    std::vector<uint8_t> out;
    AppendLE32(out, word);
    return out;
}

std::vector<uint8_t> ShiftIR(uint32_t value, uint32_t length, TapState end)
{
    CheckIRLength(length);
    std::vector<uint8_t> out;
    AppendLE32(out, value);
    AppendLE32(out, length);
    AppendLE32(out, static_cast<uint32_t>(end));
    return out;
}

std::vector<uint8_t> ShiftDR(const std::vector<uint8_t>& bits, uint32_t length, TapState end)
{
    ValidateDataScan(bits, length, "ShiftDR");
    std::vector<uint8_t> out;
    out.reserve(8 + bits.size());
    AppendLE32(out, length);
    AppendLE32(out, static_cast<uint32_t>(end));
    out.insert(out.end(), bits.begin(), bits.end());
    return out;
}

std::vector<uint8_t> UpdateName(const std::string& adapter, const std::string& chipName)
{
    if (adapter.size() > 254 || chipName.size() > 254)
        throw std::invalid_argument("adapter and chip names are at most 254 characters");
    if (chipName.find('\0') != std::string::npos || adapter.find('\0') != std::string::npos)
        throw std::invalid_argument("names cannot contain NUL characters");
    std::vector<uint8_t> out(adapter.begin(), adapter.end());
    out.push_back(0);
    out.insert(out.end(), chipName.begin(), chipName.end());
    out.push_back(0);
    return out;
}

std::vector<uint8_t> WriteBlock(uint32_t address, const uint8_t* data, size_t size)
{
    if (size > MAX_COMMAND_BODY - 4)
        throw std::invalid_argument("WriteBlock: " + std::to_string(size) +
                                    " bytes exceed one command; split the transfer");
    std::vector<uint8_t> out;
    out.reserve(4 + size);
    AppendLE32(out, address);
    if (size)
        out.insert(out.end(), data, data + size);
    return out;
}

std::vector<uint8_t> ReadBlock(uint32_t address, uint32_t size)
{
    std::vector<uint8_t> out;
    AppendLE32(out, address);
    AppendLE32(out, size);
    return out;
}

std::vector<uint8_t> RawSequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                 uint32_t bits)
{
    if (bits > MAX_RAW_SEQUENCE_BITS)
        throw std::invalid_argument("RawSequence: " + std::to_string(bits) +
                                    " bits exceed the limit of " +
                                    std::to_string(MAX_RAW_SEQUENCE_BITS));
    const size_t bytes = BitBytes(bits);
    if (tms.size() != bytes || tdi.size() != bytes)
        throw std::invalid_argument("RawSequence: " + std::to_string(bits) + " bits need " +
                                    std::to_string(bytes) + " bytes of TMS and of TDI, got " +
                                    std::to_string(tms.size()) + " and " +
                                    std::to_string(tdi.size()));
    std::vector<uint8_t> out;
    out.reserve(4 + 2 * bytes);
    AppendLE32(out, bits);
    out.insert(out.end(), tms.begin(), tms.end());
    out.insert(out.end(), tdi.begin(), tdi.end());
    return out;
}

}  // namespace body

}  // namespace kestrad::client
