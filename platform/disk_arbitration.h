#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

namespace ferrolatch {

// The value a disk's description holds under its volume UUID key. Depending on
// the system and the bridge it came through, Disk Arbitration hands over one
// of several kinds of object; the adapter says which it got and carries the
// sixteen bytes, and the mount guard decides what each kind means.
namespace disk_uuid {
using Bytes = std::array<std::uint8_t, 16>;
struct Value {   // a value-type UUID
    Bytes bytes {};
};
struct NSUUID {  // an NSUUID object
    Bytes bytes {};
};
struct CFUUID {  // a Core Foundation object of the CFUUID type
    Bytes bytes {};
};
struct Other {   // any other object, described by its type for the log
    std::string typeDescription;
};
}

using DiskUUIDValue = std::variant<disk_uuid::Value, disk_uuid::NSUUID, disk_uuid::CFUUID, disk_uuid::Other>;

}
