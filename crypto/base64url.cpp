#include "crypto/base64url.h"

#include <array>

namespace ferrolatch {

namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr int notBase64 = -1;

constexpr std::array<int, 256> makeValues()
{
    std::array<int, 256> values {};
    values.fill(notBase64);
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        values[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
    // Standard base64 reads the same once "-" and "_" are translated back.
    values['+'] = 62;
    values['/'] = 63;
    return values;
}
constexpr std::array<int, 256> values = makeValues();

std::size_t encodedLength(std::size_t size)
{
    std::size_t remainder = size % 3;
    return size / 3 * 4 + (remainder ? remainder + 1 : 0);
}

void encodeInto(std::span<const std::uint8_t> bytes, std::uint8_t* out)
{
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t group = std::uint32_t(bytes[i]) << 16 | std::uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *out++ = static_cast<std::uint8_t>(alphabet[group >> 18 & 63]);
        *out++ = static_cast<std::uint8_t>(alphabet[group >> 12 & 63]);
        *out++ = static_cast<std::uint8_t>(alphabet[group >> 6 & 63]);
        *out++ = static_cast<std::uint8_t>(alphabet[group & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 0)
        return;
    std::uint32_t group = std::uint32_t(bytes[i]) << 16 | (rest == 2 ? std::uint32_t(bytes[i + 1]) << 8 : 0);
    *out++ = static_cast<std::uint8_t>(alphabet[group >> 18 & 63]);
    *out++ = static_cast<std::uint8_t>(alphabet[group >> 12 & 63]);
    if (rest == 2)
        *out++ = static_cast<std::uint8_t>(alphabet[group >> 6 & 63]);
}

// The text as strict standard base64 sees it once "=" has been appended up to
// a multiple of four; the appended characters are never materialised.
class PaddedText {
public:
    explicit PaddedText(std::span<const std::uint8_t> text)
        : m_text(text), m_length(text.size() + (4 - text.size() % 4) % 4) {}
    std::size_t length() const { return m_length; }
    std::uint8_t at(std::size_t i) const { return i < m_text.size() ? m_text[i] : std::uint8_t('='); }

private:
    std::span<const std::uint8_t> m_text;
    std::size_t m_length;
};

// Validates the whole text first, so nothing is written for a bad one.
std::optional<std::size_t> decodedLength(const PaddedText& text)
{
    std::size_t padding = 0;
    while (padding < text.length() && text.at(text.length() - 1 - padding) == '=')
        ++padding;
    if (padding > 2)
        return std::nullopt;
    for (std::size_t i = 0; i < text.length() - padding; ++i)
        if (values[text.at(i)] == notBase64)
            return std::nullopt;
    return text.length() / 4 * 3 - padding;
}

void decodeInto(const PaddedText& text, std::size_t size, std::uint8_t* out)
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < text.length(); i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::uint8_t c = text.at(i + j);
            group = group << 6 | (c == '=' ? 0u : static_cast<std::uint32_t>(values[c]));
        }
        for (int shift = 16; shift >= 0 && written < size; shift -= 8)
            out[written++] = static_cast<std::uint8_t>(group >> shift);
    }
}

std::span<const std::uint8_t> asBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}

std::string base64URLEncode(std::span<const std::uint8_t> bytes)
{
    std::string text(encodedLength(bytes.size()), '\0');
    encodeInto(bytes, reinterpret_cast<std::uint8_t*>(text.data()));
    return text;
}

std::string base64URLEncode(std::string_view bytes)
{
    return base64URLEncode(asBytes(bytes));
}

std::optional<std::vector<std::uint8_t>> base64URLDecode(std::string_view text)
{
    PaddedText padded(asBytes(text));
    std::optional<std::size_t> size = decodedLength(padded);
    if (!size)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(*size);
    decodeInto(padded, *size, bytes.data());
    return bytes;
}

SecretBytes base64URLEncodeSecret(std::span<const std::uint8_t> bytes)
{
    SecretBytes text(encodedLength(bytes.size()));
    encodeInto(bytes, text.data());
    return text;
}

std::optional<SecretBytes> base64URLDecodeSecret(std::span<const std::uint8_t> text)
{
    PaddedText padded(text);
    std::optional<std::size_t> size = decodedLength(padded);
    if (!size)
        return std::nullopt;
    SecretBytes bytes(*size);
    decodeInto(padded, *size, bytes.data());
    return bytes;
}

}
