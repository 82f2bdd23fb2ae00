#pragma once

#include "agent/tray_state.h"
#include "disk/apfs_inventory.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

inline constexpr std::string_view waitingStatus = "Waiting for a Ferrolatch disk";
inline constexpr std::string_view fallbackStatus = "macOS compatibility fallback required";
inline constexpr std::string_view attentionStatus = "Ferrolatch needs attention";

// The status line when no enrolled drive is connected.
std::string idleStatus(bool promptSuppressionAvailable);

struct StatusSummary {
    TrayState tray = TrayState::Closed;
    std::string line;
    bool operator==(const StatusSummary&) const = default;
};

// The mount point of an unlocked volume, or none when it cannot be found.
using MountPointLookup = std::function<std::optional<std::string>(const APFSVolume& volume)>;

// The icon and status line for the volumes as the inventory lists them: the
// first enrolled volume that is mounted wins, else the first locked one is
// named. Enrolled means its upper-cased UUID is in the registry set.
StatusSummary summarizeVolumes(const std::vector<APFSVolume>& volumes, const std::set<std::string>& enrolled,
                               bool promptSuppressionAvailable, const MountPointLookup& mountPointOf);

}
