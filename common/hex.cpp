#include "common/hex.h"

namespace ferrolatch {

std::string hexString(std::span<const std::uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes)
        text.append(hexDigitsOf(byte).data(), 2);
    return text;
}

}
