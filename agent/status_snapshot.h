#pragma once

#include "agent/status_summary.h"
#include "disk/apfs_inventory.h"
#include "finder/drive_eject.h"
#include "platform/files.h"
#include "platform/mounted_volumes.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ferrolatch {

// What the agent knows of the Mac at one moment, read once per refresh or
// scan and handed to the scanner and the menu alike: the registry, the APFS
// inventory, diskutil's description of each unlocked enrolled volume and
// the mounted-volume listing.
struct StatusSnapshot {
    std::set<std::string> enrolled;         // canonical upper case
    std::vector<APFSContainer> containers;  // empty when the inventory could not be read
    std::vector<FerrolatchEject::DescribedVolume> unlockedEnrolled; // inventory order
    std::vector<MountedVolumeInfo> mountedVolumes; // hidden ones included
    // Whether the system APFS agent honours the per-volume marker; the agent
    // probes it once and again only when that agent's file changes.
    bool promptSuppressionAvailable = true;

    // Every volume of the inventory, containers in order.
    std::vector<APFSVolume> volumes() const;
    // The inventory's volume with this UUID, compared in canonical form.
    std::optional<APFSVolume> volume(const std::string& uuid) const;
    // The enrolled volumes that are mounted, for the eject rows and the sidebar.
    std::vector<FerrolatchFinderState::MountedVolume> mountedEnrolled() const;
    // The icon and status line these volumes call for.
    StatusSummary summary() const;
};

struct SnapshotServices {
    ToolRunner& tools;
    Files& files;
    Paths& paths;
    MountedVolumes& listing;
};

// Reads the registry once, runs "diskutil apfs list" once and "diskutil
// info" once per unlocked enrolled volume. Never fails: what cannot be read
// counts as nothing there.
StatusSnapshot takeStatusSnapshot(const SnapshotServices& services);

}
