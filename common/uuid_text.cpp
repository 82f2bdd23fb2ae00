#include "common/uuid_text.h"

#include "common/hex.h"

namespace ferrolatch {

namespace {

constexpr std::size_t textLength = 36;

bool isHyphenAt(std::size_t index) { return index == 8 || index == 13 || index == 18 || index == 23; }

}

std::optional<UUIDBytes> uuidBytesFromText(std::string_view text)
{
    if (text.size() != textLength)
        return std::nullopt;
    UUIDBytes bytes {};
    std::size_t byte = 0;
    for (std::size_t index = 0; index < textLength;) {
        if (isHyphenAt(index)) {
            if (text[index] != '-')
                return std::nullopt;
            ++index;
            continue;
        }
        int high = hexDigitValue(text[index]);
        int low = hexDigitValue(text[index + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        index += 2;
    }
    return bytes;
}

std::string uppercaseUUIDText(const UUIDBytes& bytes)
{
    std::string text;
    text.reserve(textLength);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            text += '-';
        text.append(hexDigitsOf(bytes[index], HexLetters::Upper).data(), 2);
    }
    return text;
}

}
