#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ferrolatch {

enum class HexLetters { Lower, Upper };

// The two digits of one byte, the high one first.
inline std::array<char, 2> hexDigitsOf(std::uint8_t byte, HexLetters letters = HexLetters::Lower)
{
    const char* digits = letters == HexLetters::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 0x0F]};
}

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
