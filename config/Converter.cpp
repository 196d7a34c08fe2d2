#include "config/Converter.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

unsigned long long CConverter::StringToInt(const std::string& text, int base)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, base);
    const int error = errno;
    // Comparing with the string's own length also rejects an embedded NUL,
    // where strtoull would otherwise stop early and report success.
    if (end != begin + text.size() || error == ERANGE)
        throw std::runtime_error("Can not convert " + text + " to integer!");
    return value;
}
