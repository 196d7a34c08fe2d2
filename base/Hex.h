// Hex digits, as the text protocols and files we read spell them.
#pragma once

namespace kestrad {

// The value of one hex digit (either case), or -1 for any other character.
inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace kestrad
