#pragma once

#include "disk/apfs_inventory.h"
#include "finder/sidebar_catalog.h"
#include "platform/files.h"
#include "platform/mounted_volumes.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The agent's eject rows: which mounted, unlocked, enrolled data volumes it
// offers, what each row is called, and the eject itself.
namespace ferrolatch::FerrolatchEject {

using FerrolatchFinderState::MountedVolume;

// One ejectable volume.
struct Target {
    std::string uuid; // canonical upper case
    std::string url;  // the mount location, standardized
    bool operator==(const Target&) const = default;
};

inline constexpr const char* errorDomain = "Ferrolatch";
inline constexpr long noLongerMountedCode = 1;
inline constexpr std::string_view noLongerMountedText = "This Ferrolatch drive is no longer mounted.";

// Unmounts the volume at the URL and ejects its device; fails with the
// workspace's error.
using EjectOperation = std::function<void(const std::string& url)>;

// What one "diskutil info -plist" says of an unlocked volume: its mount
// point, if any, and the mounted volume the eject rows may offer.
struct VolumeDescription {
    std::optional<std::string> mountPoint;
    std::optional<MountedVolume> mounted; // mounted, external, encrypted and the same UUID
    bool operator==(const VolumeDescription&) const = default;
};

// One diskutil call for the volume; what diskutil cannot describe is empty.
VolumeDescription describeVolume(ToolRunner& tools, const APFSVolume& volume);

struct DescribedVolume {
    APFSVolume volume;
    VolumeDescription description;
    bool operator==(const DescribedVolume&) const = default;
};

// The unlocked enrolled volumes of the inventory, each described once, in
// inventory order. Enrolled means the upper-cased UUID is in the set.
std::vector<DescribedVolume> describeEnrolledVolumes(ToolRunner& tools, const std::set<std::string>& enrolled,
                                                     const std::vector<APFSVolume>& inventory);

// The enrolled data volumes that are unlocked and mounted, as diskutil
// describes them, in inventory order. A volume diskutil cannot describe is
// left out.
std::vector<MountedVolume> mountedEnrolledVolumes(Files& files, Paths& paths, ToolRunner& tools);

// The external, enrolled volumes, the first one listed for each UUID, sorted
// by display name in Finder's order; equal names keep their list order.
std::vector<Target> ejectTargets(const std::set<std::string>& enrolled, const std::vector<MountedVolume>& volumes,
                                 MountedVolumes& listing);

// The volume's name as the system reports it, else the last component of its
// mount location.
std::string targetDisplayName(const Target& target, MountedVolumes& listing);

// Ejects the target with this UUID; fails with the "no longer mounted" error
// when none has it, or with the eject's own failure.
void ejectVolume(const std::string& uuid, const std::set<std::string>& enrolled,
                 const std::vector<MountedVolume>& volumes, MountedVolumes& listing, const EjectOperation& eject);

}
