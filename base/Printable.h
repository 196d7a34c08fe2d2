// Printable(text): text from outside (a client's adapter or chip name, a
// peer's or device's answer) made safe to log. Control characters, DEL, bytes
// above 0x7e and the backslash itself are written as escapes (\n, \r, \t, \\,
// \x1b ...), so a name can never end a log line early, forge the next one or
// drive the console; one client line is always one log line. Only the log
// gets the escaped form: replies carry the bytes as they came.
#pragma once

#include <cstddef>
#include <string>

inline std::string Printable(const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c > 0x7e) {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

// The length of the UTF-8 sequence at text[at] when it is well formed and
// encodes a character a terminal shows (not a C1 control, U+0080 to
// U+009F); 0 otherwise. ASCII is not asked about here.
inline size_t ShownUtf8At(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    size_t n = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        if (lead == 0xC2)
            low = 0xA0;  // C2 80..9F are the C1 controls
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong below
        if (lead == 0xED)
            high = 0x9F;  // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return n;
}

// Text from a server or device made safe to print on a terminal: control
// characters (C0, DEL, C1) and bytes that are not well-formed UTF-8 are
// escaped as Printable writes them (\n, \x1b, \xff), so a name can neither
// drive the terminal (set its title, clear it, colour it) nor forge a line;
// printable ASCII and UTF-8 stay as they are.
inline std::string TerminalSafe(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += text[i++];
            continue;
        }
        if (const size_t n = c >= 0x80 ? ShownUtf8At(text, i) : 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        out += Printable(std::string(1, static_cast<char>(c)));
        ++i;
    }
    return out;
}

// Whether TerminalSafe leaves `text` as it is.
inline bool IsTerminalSafe(const std::string& text)
{
    return TerminalSafe(text) == text;
}
