#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// A disk as Disk Arbitration hands it to a callback: the session's own
// reference, meaningful only to the session that delivered it.
struct DiskReference {
    std::string bsdName; // "disk5s2"
    std::uint64_t handle = 0;
};

// The part of a disk's description the program reads. The adapter gives none
// when the description is missing or is not a dictionary with string keys.
struct DiskDescription {
    std::optional<DiskUUIDValue> volumeUUID; // kDADiskDescriptionVolumeUUIDKey
};

// Disk Arbitration's answer that refuses a mount or keeps a claim.
struct DiskDissenter {
    std::uint32_t status = 0;
    std::string statusString;
    bool operator==(const DiskDissenter&) const = default;
};

inline constexpr std::uint32_t kDAReturnExclusiveAccess = 0xF8DA0004;
inline constexpr std::uint32_t kDAReturnNotPermitted = 0xF8DA0008;

// One Disk Arbitration session (DASession). Callbacks are C++ callables; an
// adapter over the C API keeps its own trampolines. Once the session is
// scheduled they arrive one at a time on its serial callback queue, never on
// the caller's thread. A registration is undone by the token it returned.
class DiskArbitrationSession {
public:
    using PeekCallback = std::function<void(const DiskReference& disk)>;
    using MountApprovalCallback = std::function<std::optional<DiskDissenter>(const DiskReference& disk)>;
    using ClaimCallback = std::function<void(const DiskReference& disk, const std::optional<DiskDissenter>& dissenter)>;
    using ClaimReleaseCallback = std::function<std::optional<DiskDissenter>(const DiskReference& disk)>;
    using Registration = unsigned long;

    virtual ~DiskArbitrationSession() = default;

    // DARegisterDiskPeekCallback for all disks, order 0.
    virtual Registration registerDiskPeekCallback(PeekCallback callback) = 0;
    // DARegisterDiskMountApprovalCallback for all disks.
    virtual Registration registerDiskMountApprovalCallback(MountApprovalCallback callback) = 0;
    // DASessionSetDispatchQueue: a serial queue with this label, or none to stop the callbacks.
    virtual void setDispatchQueue(std::optional<std::string_view> label) = 0;
    // DAUnregisterCallback, for either kind of registration.
    virtual void unregisterCallback(Registration registration) = 0;

    virtual std::optional<DiskDescription> copyDescription(const DiskReference& disk) = 0;
    virtual bool isClaimed(const DiskReference& disk) = 0;
    // DADiskClaim with default options; the result goes to done, later release
    // requests to release.
    virtual void claim(const DiskReference& disk, ClaimReleaseCallback release, ClaimCallback done) = 0;
};

// The Disk Arbitration service: sessions, or none when one cannot be created.
class DiskArbitration {
public:
    virtual ~DiskArbitration() = default;
    virtual std::unique_ptr<DiskArbitrationSession> createSession() = 0;
};

}
