// Attribute text to numbers for the configuration document.
#pragma once

#include <string>

class CConverter {
public:
    // strtoull in the given base (callers pass 0: "0x" hexadecimal, leading
    // "0" octal, otherwise decimal). The whole text must be the number; the
    // empty string is 0. Throws std::runtime_error
    // "Can not convert TEXT to integer!" on trailing characters or overflow.
    static unsigned long long StringToInt(const std::string& text, int base);
};
