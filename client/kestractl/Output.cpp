// kestractl output: hex conversions, text rendering of results, the
// progress bar and error reports.
#include "client/kestractl/Tool.h"

#include "base/Printable.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace kestractl {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string StripHexPrefix(const std::string& s)
{
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return s.substr(2);
    return s;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string HumanBytes(double n)
{
    static const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (n >= 1024 && u < 3) {
        n /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), u ? "%.1f %s" : "%.0f %s", n, units[u]);
    return buf;
}

}  // namespace

std::string Hex32(uint32_t v, int digits)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%0*x", digits, v);
    return buf;
}

std::vector<uint8_t> HexToBits(const std::string& text, uint32_t length)
{
    std::string digits;
    for (char c : StripHexPrefix(text))
        if (c != '_')
            digits += c;
    if (digits.empty())
        throw UsageError("'" + text + "' is not a hex number");
    std::vector<uint8_t> bits(kestrad::client::BitBytes(length), 0);
    uint64_t bit = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it, bit += 4) {
        const int d = HexDigit(*it);
        if (d < 0)
            throw UsageError("'" + text + "' is not a hex number");
        for (int k = 0; k < 4; ++k) {
            if (!((d >> k) & 1))
                continue;
            const uint64_t b = bit + k;
            if (b >= length)
                throw UsageError("'" + text + "' does not fit in " + std::to_string(length) +
                                 " bits");
            bits[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
        }
    }
    return bits;
}

std::string BitsToHex(const std::vector<uint8_t>& bits, uint32_t length)
{
    static const char hex[] = "0123456789abcdef";
    const uint32_t digits = (length + 3) / 4;
    std::string out = "0x";
    for (uint32_t d = digits; d-- > 0;) {
        int nibble = 0;
        for (int k = 0; k < 4; ++k) {
            const uint64_t b = static_cast<uint64_t>(d) * 4 + k;
            if (b < length && b / 8 < bits.size() && ((bits[b / 8] >> (b % 8)) & 1))
                nibble |= 1 << k;
        }
        out += hex[nibble];
    }
    return out;
}

std::vector<uint8_t> HexToBytes(const std::string& text)
{
    std::vector<uint8_t> out;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::string digits;
        for (char c : StripHexPrefix(word))
            if (c != '_' && c != ',')
                digits += c;
        if (digits.size() == 1)
            digits = "0" + digits;
        if (digits.size() % 2)
            throw UsageError("'" + word + "': odd number of hex digits");
        for (size_t i = 0; i < digits.size(); i += 2) {
            const int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0)
                throw UsageError("'" + word + "' is not hex bytes");
            out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
    }
    if (out.empty())
        throw UsageError("no bytes to write");
    return out;
}

std::string BytesToHex(const uint8_t* data, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += hex[data[i] >> 4];
        out += hex[data[i] & 15];
    }
    return out;
}

std::string HexDump(uint32_t address, const uint8_t* data, size_t size)
{
    std::string out;
    char buf[16];
    for (size_t row = 0; row < size; row += 16) {
        std::snprintf(buf, sizeof(buf), "%08x:", static_cast<uint32_t>(address + row));
        out += buf;
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (row + i < size) {
                const uint8_t b = data[row + i];
                std::snprintf(buf, sizeof(buf), " %02x", b);
                out += buf;
                ascii += std::isprint(b) ? static_cast<char>(b) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  |" + ascii + "|\n";
    }
    return out;
}

std::string Shown(const std::string& text)
{
    return TerminalSafe(text);
}

std::string ShownMessage(const std::string& text)
{
    // Line by line: a message of ours may carry an indented hint on a line
    // of its own. Every line after the first is shown indented, so text from
    // a server can still not forge a line of kestractl's own.
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t end = text.find('\n', at);
        const std::string line = TerminalSafe(text.substr(at, end == std::string::npos ? end : end - at));
        if (at > 0)
            out += line.compare(0, 2, "  ") == 0 ? "\n" : "\n  ";
        out += line;
        if (end == std::string::npos)
            return out;
        at = end + 1;
    }
}

std::string JsonText(const Json& doc, int indent)
{
    return doc.dump(indent, ' ', true, Json::error_handler_t::replace);
}

const char* JedecManufacturer(unsigned bank, unsigned code)
{
    static const struct {
        unsigned bank, code;
        const char* name;
    } table[] = {
#include "client/kestractl/Jep106.inc"
    };
    for (const auto& e : table)
        if (e.bank == bank && e.code == code)
            return e.name;
    return nullptr;
}

// ---- progress ------------------------------------------------------------

CProgress::CProgress(const char* what, uint64_t total, bool enabled)
    : m_what(what), m_total(total), m_enabled(enabled && ::isatty(STDERR_FILENO)),
      m_start(Now())
{
}

CProgress::~CProgress() { Done(); }

void CProgress::Update(uint64_t done)
{
    if (!m_enabled || m_total == 0)
        return;
    const double now = Now();
    if (done < m_total && m_lastDraw >= 0 && now - m_lastDraw < 0.1)
        return;
    m_lastDraw = now;
    const double elapsed = std::max(now - m_start, 1e-6);
    const double rate = done / elapsed;
    const double frac = static_cast<double>(done) / m_total;
    const int width = 30;
    const int filled = static_cast<int>(frac * width);
    std::string bar(filled, '#');
    bar += std::string(width - filled, '.');
    std::string eta = "--:--";
    if (rate > 0) {
        const long left = std::lround((m_total - done) / rate);
        char buf[32];
        std::snprintf(buf, sizeof(buf), "%ld:%02ld", left / 60, left % 60);
        eta = buf;
    }
    char line[256];
    const int n = std::snprintf(line, sizeof(line), "%-5s [%s] %3d%%  %s / %s  %s/s  %s left",
                                m_what, bar.c_str(), static_cast<int>(frac * 100),
                                HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                                HumanBytes(rate).c_str(), eta.c_str());
    const size_t drawn = std::min(static_cast<size_t>(std::max(n, 0)), sizeof(line) - 1);
    // A shorter line than the last one is padded so that nothing of the old
    // one is left behind.
    std::fprintf(stderr, "\r%s%s", line,
                 std::string(m_width > drawn ? m_width - drawn : 0, ' ').c_str());
    std::fflush(stderr);
    m_width = std::max(m_width, drawn);
    m_drawn = true;
}

void CProgress::Done()
{
    if (m_drawn) {
        // Blank the whole line and return to its start: what follows (a hex
        // dump, an error, the prompt) starts on a clean line.
        std::fprintf(stderr, "\r%s\r", std::string(m_width, ' ').c_str());
        std::fflush(stderr);
        m_drawn = false;
        m_width = 0;
    }
}

// ---- errors --------------------------------------------------------------

int ReportError(const std::exception& e, const std::string& where, bool json, Json* jsonOut,
                const std::string& command)
{
    int status = EXIT_LOCAL;
    const char* type = "local";
    std::string prefix;
    if (dynamic_cast<const UnknownAdapter*>(&e)) {
        status = EXIT_SERVER;
        type = "adapter";
    } else if (dynamic_cast<const kestrad::client::ServerError*>(&e)) {
        status = EXIT_SERVER;
        type = "server";
        prefix = "server error: ";
    } else if (dynamic_cast<const kestrad::client::ConnectionError*>(&e)) {
        status = EXIT_CONNECTION;
        type = "connection";
        prefix = "connection failed: ";
    } else if (dynamic_cast<const kestrad::client::ProtocolError*>(&e)) {
        status = EXIT_PROTOCOL;
        type = "protocol";
        prefix = "protocol error: ";
    } else if (dynamic_cast<const ChainError*>(&e)) {
        type = "chain";
    } else if (dynamic_cast<const Interrupted*>(&e)) {
        status = EXIT_INTERRUPTED;
        type = "interrupted";
    } else if (dynamic_cast<const UsageError*>(&e) || dynamic_cast<const std::invalid_argument*>(&e) ||
               dynamic_cast<const CLI::ParseError*>(&e)) {
        status = EXIT_USAGE;
        type = "usage";
    }
    // A usage error names the command it is about: "kestractl read: ..." on
    // the command line, "kestractl: line 3: read: ..." in a script.
    // What the server or a device said is escaped whole; our own messages
    // keep their hint lines.
    const std::string shown =
        status == EXIT_SERVER || status == EXIT_PROTOCOL ? Shown(e.what()) : ShownMessage(e.what());
    std::string named;
    if (status == EXIT_USAGE) {
        const auto* usage = dynamic_cast<const UsageError*>(&e);
        named = usage && !usage->Command().empty() ? usage->Command() : command;
    }
    if (!named.empty() && where.empty())
        std::fprintf(stderr, "kestractl %s: %s\n", named.c_str(), shown.c_str());
    else
        std::fprintf(stderr, "kestractl: %s%s%s%s\n", where.c_str(),
                     named.empty() ? "" : (named + ": ").c_str(), prefix.c_str(), shown.c_str());
    if (json && jsonOut) {
        Json err;
        err["type"] = type;
        if (!named.empty())
            err["command"] = named;
        err["message"] = e.what();
        (*jsonOut)["error"] = err;
        (*jsonOut)["status"] = status;
    }
    return status;
}

}  // namespace kestractl
