#include "common/utf8.h"

#include <cstddef>

namespace ferrolatch {

bool isValidUTF8(std::string_view text)
{
    std::size_t index = 0;
    while (index < text.size()) {
        auto byte = static_cast<unsigned char>(text[index]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || index + length > text.size())
            return false;
        unsigned long codePoint = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t next = 1; next < length; ++next) {
            auto continuation = static_cast<unsigned char>(text[index + next]);
            if ((continuation & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (continuation & 0x3Fu);
        }
        static constexpr unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        index += length;
    }
    return true;
}

}
