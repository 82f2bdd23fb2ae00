#include "agent/mount_guard_uuid.h"

#include "common/uuid_text.h"

#include <type_traits>

namespace ferrolatch {

std::optional<std::string> normalizedVolumeUUID(const DiskUUIDValue& value)
{
    return std::visit(
        [](const auto& kind) -> std::optional<std::string> {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, disk_uuid::Other>)
                return std::nullopt;
            else
                return uppercaseUUIDText(kind.bytes);
        },
        value);
}

std::optional<disk_uuid::CFUUID> createCFUUIDFromString(std::string_view text)
{
    std::optional<UUIDBytes> bytes = uuidBytesFromText(text);
    if (!bytes)
        return std::nullopt;
    return disk_uuid::CFUUID {*bytes};
}

}
