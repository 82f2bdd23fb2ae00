#pragma once

#include "platform/disk_arbitration.h"

#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The canonical upper-case text of a volume UUID as Disk Arbitration delivered
// it: a value-type UUID, an NSUUID or a CFUUID object gives its string form
// upper-cased; any other object gives nothing.
std::optional<std::string> normalizedVolumeUUID(const DiskUUIDValue& value);

// A CFUUID object made from text the way CFUUIDCreateFromString makes one:
// 8-4-4-4-12 hexadecimal digits, either case; nothing for any other text.
std::optional<disk_uuid::CFUUID> createCFUUIDFromString(std::string_view text);

}
