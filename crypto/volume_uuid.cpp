#include "crypto/volume_uuid.h"

namespace ferrolatch {

std::optional<std::string> canonicalVolumeUUID(std::string_view text)
{
    constexpr std::size_t length = 36;
    if (text.size() != length)
        return std::nullopt;
    std::string canonical(text);
    for (std::size_t index = 0; index < length; ++index) {
        char& character = canonical[index];
        bool hyphenPlace = index == 8 || index == 13 || index == 18 || index == 23;
        if (hyphenPlace) {
            if (character != '-')
                return std::nullopt;
        } else if (character >= 'a' && character <= 'f') {
            character = static_cast<char>(character - 'a' + 'A');
        } else if (!((character >= '0' && character <= '9') || (character >= 'A' && character <= 'F'))) {
            return std::nullopt;
        }
    }
    return canonical;
}

}
