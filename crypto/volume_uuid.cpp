#include "crypto/volume_uuid.h"

#include "common/uuid_text.h"

namespace ferrolatch {

std::optional<std::string> canonicalVolumeUUID(std::string_view text)
{
    std::optional<UUIDBytes> bytes = uuidBytesFromText(text);
    if (!bytes)
        return std::nullopt;
    return uppercaseUUIDText(*bytes);
}

}
