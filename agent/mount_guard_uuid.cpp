#include "agent/mount_guard_uuid.h"

#include <type_traits>

namespace ferrolatch {

namespace {

constexpr std::size_t textLength = 36;

bool isHyphenAt(std::size_t index) { return index == 8 || index == 13 || index == 18 || index == 23; }

std::string uuidString(const disk_uuid::Bytes& bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(textLength);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            text += '-';
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0x0f];
    }
    return text;
}

int hexValue(char c)
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

std::optional<std::string> normalizedVolumeUUID(const DiskUUIDValue& value)
{
    return std::visit(
        [](const auto& kind) -> std::optional<std::string> {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, disk_uuid::Other>)
                return std::nullopt;
            else
                return uuidString(kind.bytes);
        },
        value);
}

std::optional<disk_uuid::CFUUID> createCFUUIDFromString(std::string_view text)
{
    if (text.size() != textLength)
        return std::nullopt;
    disk_uuid::CFUUID uuid;
    std::size_t byte = 0;
    for (std::size_t index = 0; index < textLength;) {
        if (isHyphenAt(index)) {
            if (text[index] != '-')
                return std::nullopt;
            ++index;
            continue;
        }
        int high = hexValue(text[index]);
        int low = hexValue(text[index + 1]);
        if (high < 0 || low < 0 || isHyphenAt(index + 1))
            return std::nullopt;
        uuid.bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        index += 2;
    }
    return uuid;
}

}
