#pragma once

#include "platform/files.h"
#include "platform/mounted_volumes.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"

#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

inline constexpr std::string_view bootstrapManifestName = "ferrolatch.json";

// The "ferrolatch.json" files at the roots of the mounted volumes, hidden ones
// included, in localized standard order of their paths. An unavailable volume
// list counts as no volumes.
std::vector<std::string> discoverManifests(MountedVolumes& volumes, Files& files);

// The partition device ("disk5s1") of an external volume, from diskutil.
std::string bootstrapDeviceIdentifier(ToolRunner& tools, const std::string& volumePath);

// Re-mounts the manifest's volume hidden from Finder (nobrowse), unless it is
// hidden already, and returns the manifest's path on the re-mounted volume.
// Refuses a volume on internal storage.
std::string hideBootstrapVolume(ToolRunner& tools, Files& files, MountedVolumes& volumes,
                                const std::string& manifestPath);

// Starts a new instance of the program's own application bundle with these
// arguments and waits for it to exit.
void runInOwnAppBundle(ToolRunner& tools, Paths& paths, const std::vector<std::string>& arguments);

}
