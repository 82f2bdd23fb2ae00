#include "disk/volume_name.h"

#include "platform/errors.h"

#include <algorithm>

namespace ferrolatch {

namespace {

// Names become APFS volume names and file names, which are Unicode text; bytes
// that are not UTF-8 have no such name.
bool isValidUTF8(std::string_view text)
{
    std::size_t index = 0;
    while (index < text.size()) {
        auto lead = static_cast<unsigned char>(text[index]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || index + length > text.size())
            return false;
        std::uint32_t codePoint = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t next = 1; next < length; ++next) {
            auto continuation = static_cast<unsigned char>(text[index + next]);
            if ((continuation & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (continuation & 0x3Fu);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        index += length;
    }
    return true;
}

bool isBootstrapName(std::string_view name)
{
    constexpr std::string_view bootstrap = "FERROLATCH";
    return std::equal(name.begin(), name.end(), bootstrap.begin(), bootstrap.end(), [](char a, char b) {
        return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
    });
}

}

void validateVolumeName(std::string_view name)
{
    auto unsafe = [](char c) { return c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20; };
    if (name.empty() || name.size() > 64 || std::any_of(name.begin(), name.end(), unsafe) || !isValidUTF8(name) ||
        isBootstrapName(name))
        throw ProofError("data volume name must be 1\u201364 safe characters and must not be FERROLATCH");
}

}
