#include "common/percent_encoding.h"

#include "common/hex.h"

namespace ferrolatch {

namespace {

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

}

std::string percentEncoded(std::string_view text, std::string_view alsoKept)
{
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        if (isUnreserved(c) || alsoKept.find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            encoded += '%';
            encoded.append(hexDigitsOf(static_cast<std::uint8_t>(c), HexLetters::Upper).data(), 2);
        }
    }
    return encoded;
}

std::string percentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        int high = text[index] == '%' && index + 2 < text.size() ? hexDigitValue(text[index + 1]) : -1;
        int low = high >= 0 ? hexDigitValue(text[index + 2]) : -1;
        if (low < 0) {
            decoded += text[index];
            continue;
        }
        decoded += static_cast<char>(high << 4 | low);
        index += 2;
    }
    return decoded;
}

}
