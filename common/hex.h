#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ferrolatch {

// Bytes as two lower-case hex digits each, no separators.
std::string hexString(std::span<const std::uint8_t> bytes);

// The value of one hex digit of either case; -1 for any other character.
inline int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}
