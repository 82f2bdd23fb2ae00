#include "common/utf8.h"

namespace ferrolatch {

std::optional<char32_t> decodeUTF8CodePoint(std::span<const std::uint8_t> bytes, std::size_t& at)
{
    std::uint8_t lead = bytes[at];
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (bytes.size() - at < length)
        return std::nullopt;
    for (std::size_t index = 1; index < length; ++index) {
        std::uint8_t next = bytes[at + index];
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return std::nullopt;
    at += length;
    return value;
}

bool isValidUTF8(std::string_view text)
{
    std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (!decodeUTF8CodePoint(bytes, at))
            return false;
    }
    return true;
}

}
