#pragma once

#include "disk/apfs_inventory.h"
#include "platform/files.h"
#include "platform/mounted_volumes.h"
#include "platform/tool_runner.h"

#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

inline constexpr std::string_view bootstrapManifestName = "ferrolatch.json";

// The "ferrolatch.json" files at the roots of the listed volumes, hidden ones
// included, in localized standard order of their paths. A volume whose
// contents cannot be looked into (the user may not read it) is passed over.
std::vector<std::string> discoverManifests(const std::vector<MountedVolumeInfo>& volumes, Files& files);
// The same over the system's listing; an unavailable listing counts as no volumes.
std::vector<std::string> discoverManifests(MountedVolumes& volumes, Files& files);

// The partition device ("disk5s1") of an external volume, from diskutil.
std::string bootstrapDeviceIdentifier(ToolRunner& tools, const std::string& volumePath);

// The volume a bootstrap manifest was found on.
struct BootstrapVolume {
    std::string path;   // its mount location
    std::string device; // "disk5s1"
    bool browsable = true;
};

// Where the manifest's volume is mounted and which device it is. Refuses a
// volume on internal storage. The device comes from the inventory by the
// UUID the listing reports, else from diskutil.
BootstrapVolume identifyBootstrapVolume(ToolRunner& tools, const std::vector<MountedVolumeInfo>& listing,
                                        const std::vector<APFSContainer>& containers, const std::string& manifestPath);

// What a manifest read from a drive may act on: an encrypted APFS volume of
// the bootstrap volume's own container, on the same (external) whole disk.
// Anything else, a stranger's stick naming another volume of this Mac among
// them, is refused before anything is hidden, registered or guarded.
void acceptDriveVolume(const std::vector<APFSContainer>& containers, const BootstrapVolume& bootstrap,
                       const std::string& volumeUUID);

// Re-mounts the bootstrap volume hidden from Finder (nobrowse), unless it is
// hidden already, and returns the manifest's path on the re-mounted volume.
std::string hideBootstrapVolume(ToolRunner& tools, Files& files, const BootstrapVolume& bootstrap,
                                const std::string& manifestPath);

}
