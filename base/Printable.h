// Printable(text): text from outside (a client's adapter or chip name, a
// peer's or device's answer) made safe to log. Control characters, DEL, bytes
// above 0x7e and the backslash itself are written as escapes (\n, \r, \t, \\,
// \x1b ...), so a name can never end a log line early, forge the next one or
// drive the console; one client line is always one log line. Only the log
// gets the escaped form: replies carry the bytes as they came.
#pragma once

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
