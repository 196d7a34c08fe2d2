#include "JTAG/backends/network/Protocol.h"

#include "base/Hex.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace network {

namespace {

const char kProtocolMarker[] = "protocol ";

bool IsBlank(char c)
{
    // The C locale's isspace set, spelled out so the locale never matters.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

using kestrad::HexValue;

// The digits of a hexadecimal number in [pos, end) of s, read the way strtoull
// reads base 16 (without a sign): blanks, an optional 0x or 0X, then digits up
// to the first other character. An empty span means no number.
struct HexSpan {
    size_t begin;
    size_t end;
};

HexSpan FindHexNumber(const std::string& s, size_t pos, size_t end)
{
    while (pos < end && IsBlank(s[pos]))
        ++pos;
    // "0x" counts as a prefix only when a digit follows; otherwise the "0" is
    // the number, as with strtoull.
    if (pos + 2 < end && s[pos] == '0' && (s[pos + 1] == 'x' || s[pos + 1] == 'X') &&
        HexValue(s[pos + 2]) >= 0)
        pos += 2;
    const size_t begin = pos;
    while (pos < end && HexValue(s[pos]) >= 0)
        ++pos;
    return {begin, pos};
}

// Value of the digits; `overflow` is set when it needs more than `bits` bits.
unsigned long long HexDigitsValue(const std::string& s, HexSpan span, unsigned bits, bool& overflow)
{
    overflow = false;
    size_t i = span.begin;
    while (i < span.end && s[i] == '0')
        ++i;
    if ((span.end - i) * 4 > bits) {
        // Leading digit may still fit when its high bits are zero.
        const size_t digits = span.end - i;
        const unsigned lead = static_cast<unsigned>(HexValue(s[i]));
        const unsigned leadBits = lead >= 8 ? 4 : lead >= 4 ? 3 : lead >= 2 ? 2 : 1;
        if ((digits - 1) * 4 + leadBits > bits) {
            overflow = true;
            return 0;
        }
    }
    unsigned long long value = 0;
    for (; i < span.end; ++i)
        value = (value << 4) | static_cast<unsigned>(HexValue(s[i]));
    return value;
}

bool BeginsOk(const std::string& line)
{
    return line.size() >= 2 && line[0] == 'o' && line[1] == 'k';
}

// Result values start at the sixth character.
const size_t kValueOffset = 5;

std::string Hex(unsigned long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llx", value);
    return text;
}

std::string Hex8(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

}  // namespace

std::string ProtocolName(const std::string& greetingLine)
{
    const size_t at = greetingLine.find(kProtocolMarker);
    // A peer that does not announce a protocol is kept with its whole line as
    // the version string: it is all the identification we have, and it works
    // with the RTL model's commands.
    if (at == std::string::npos)
        return greetingLine;
    return greetingLine.substr(at + sizeof kProtocolMarker - 1);
}

int PeerKindOf(const std::string& protocolName, int current)
{
    if (protocolName == "RTL_JTAGdemo-0.1")
        return PEER_RTL;
    if (protocolName == "Standalone_DSP_Cluster-0.1")
        return PEER_DSP;
    return current;
}

bool ParseResult(const std::string& line, unsigned long long& value)
{
    value = 0;
    if (!BeginsOk(line))
        return false;
    if (line.size() <= kValueOffset)
        return true;
    const HexSpan span = FindHexNumber(line, kValueOffset, line.size());
    bool overflow = false;
    value = HexDigitsValue(line, span, 64, overflow);
    if (overflow)
        value = ~0ULL;
    return true;
}

bool ParseResultBits(const std::string& line, unsigned char* out, int length)
{
    const size_t bytes = length > 0 ? (static_cast<size_t>(length) + 7) / 8 : 0;
    for (size_t i = 0; i < bytes; ++i)
        out[i] = 0;
    if (!BeginsOk(line))
        return false;
    if (line.size() <= kValueOffset)
        return true;
    const HexSpan span = FindHexNumber(line, kValueOffset, line.size());
    // Least significant digit last in the text, first in the stream.
    size_t nibble = 0;
    for (size_t i = span.end; i > span.begin && nibble / 2 < bytes; --i, ++nibble) {
        const unsigned digit = static_cast<unsigned>(HexValue(line[i - 1]));
        out[nibble / 2] |= static_cast<unsigned char>(digit << (4 * (nibble % 2)));
    }
    return true;
}

bool IsDumpRow(const std::string& line)
{
    if (line.size() < 8)
        return false;
    for (size_t i = 0; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return false;
    return true;
}

bool IsErrorLine(const std::string& line)
{
    static const char kError[] = "error";
    if (line.size() < 5)
        return false;
    for (size_t i = 0; i < 5; ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != kError[i])
            return false;
    return true;
}

bool IsWordLine(const std::string& line)
{
    return !line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && !IsErrorLine(line);
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n')
            continue;
        const size_t length = i - start;
        // The character before the LF is the CR and is dropped whatever it is.
        lines.emplace_back(length > 0 ? text.substr(start, length - 1) : std::string());
        start = i + 1;
    }
    return lines;
}

size_t CountLF(const char* data, size_t size)
{
    size_t count = 0;
    for (size_t i = 0; i < size; ++i)
        count += data[i] == '\n';
    return count;
}

std::string ResetCommand() { return "reset\r\n"; }

std::string RunCommand(unsigned int count) { return "run " + std::to_string(count) + "\r\n"; }

std::string SaveCommand(uint32_t counter)
{
    return "save vrk_point_" + std::to_string(counter) + "\r\n";
}

std::string SetTrstCommand(bool level) { return level ? "set_trst 0x1\r\n" : "set_trst 0x0\r\n"; }

std::string SetNrstCommand(bool level) { return level ? "set_nrst 0x1\r\n" : "set_nrst 0x0\r\n"; }

std::string WaitCommand() { return "wait 10\r\n"; }

std::string WrIRCommand(uint32_t value) { return "wrIR 0x" + Hex(value) + "\r\n"; }

std::string WrDRCommand(const unsigned char* in, int length)
{
    if (length < 0)
        throw std::logic_error("Invalid data register length " + std::to_string(length));
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    // Most significant byte first; the bits of the last byte beyond the length
    // carry no data and are cleared. Scans longer than 64 bits go out the same
    // way, as one number of all their bits. The line is built once, in place:
    // for a long scan it is the largest buffer of the command.
    auto byteAt = [&](size_t i) {
        unsigned char byte = in[i - 1];
        if (i == bytes && length % 8 != 0)
            byte &= static_cast<unsigned char>((1u << (length % 8)) - 1);
        return byte;
    };
    size_t top = bytes;
    while (top > 0 && byteAt(top) == 0)
        --top;
    const std::string tail = " " + std::to_string(length) + "\r\n";
    std::string line;
    line.reserve(7 + 2 * top + 1 + tail.size());
    line += "wrDR 0x";
    static const char kDigits[] = "0123456789abcdef";
    if (top == 0)
        line += '0';
    for (size_t i = top; i > 0; --i) {
        const unsigned char byte = byteAt(i);
        if (i != top || byte >> 4 != 0)
            line += kDigits[byte >> 4];
        line += kDigits[byte & 0xf];
    }
    line += tail;
    return line;
}

std::string ReadWord32Command(uint32_t address) { return "read_word32 0x" + Hex(address) + "\r\n"; }

std::string WriteWord32Command(uint32_t word, uint32_t address)
{
    return "write_word32 " + Hex8(word) + " //" + Hex8(address) + "\r\n";
}

MemWindow WindowOf(uint32_t address, uint32_t size)
{
    const uint64_t last = static_cast<uint64_t>(address) + size - 1;
    if (size == 0 || last > 0xFFFFFFFFull)
        throw std::runtime_error("Memory block at 0x" + Hex8(address) + " of " + std::to_string(size) +
                                 " bytes runs past the 32-bit address space");
    const uint32_t start = address & ~15u;
    const uint32_t lastRow = static_cast<uint32_t>(last) & ~15u;
    return {start, (lastRow - start) / 16 + 1};
}

std::string DumpCommand(const MemWindow& window)
{
    const uint64_t lastOffset = static_cast<uint64_t>(window.rows) * 16 - 1;
    return "dump 0x" + Hex(window.start) + " 0x" + Hex(lastOffset) + "\r\n";
}

std::string WriteMemEntry(uint32_t rowAddress, const uint32_t words[4])
{
    return Hex8(words[0]) + " " + Hex8(words[1]) + " " + Hex8(words[2]) + " " + Hex8(words[3]) +
           " //" + Hex8(rowAddress);
}

std::string WriteMemCommand(const std::vector<std::string>& entries)
{
    std::string command = "write_mem ";
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0)
            command += ',';
        command += entries[i];
    }
    command += "\r\n";
    return command;
}

uint32_t DumpWord(const std::string& row, unsigned int column)
{
    const size_t pos = 9 * static_cast<size_t>(column);
    if (pos >= row.size())
        throw std::out_of_range("Dump row of " + std::to_string(row.size()) +
                                " characters has no word " + std::to_string(column));
    const size_t end = pos + 9 < row.size() ? pos + 9 : row.size();
    const HexSpan span = FindHexNumber(row, pos, end);
    if (span.begin == span.end)
        throw std::runtime_error("Protocol error");
    bool overflow = false;
    const unsigned long long value = HexDigitsValue(row, span, 32, overflow);
    if (overflow)
        throw std::out_of_range("Dump word " + std::to_string(column) + " exceeds 32 bits");
    return static_cast<uint32_t>(value);
}

}  // namespace network
