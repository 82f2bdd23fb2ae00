#pragma once

#include "crypto/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ferrolatch {

// Why the system APFS agent's prompt cannot be kept away on this Mac.
inline constexpr std::string_view promptSuppressionUnsupported =
    "this macOS build does not expose the per-volume APFS prompt suppression used by Ferrolatch";

// What registration asks of the system APFS agent once a drive's entry is
// written: keep its own password prompt away from the volume.
class VolumePromptSuppression {
public:
    virtual ~VolumePromptSuppression() = default;
    // True when it changed the stored preference.
    virtual bool install(std::string_view volumeUUID) = 0;
    // Stops agents that still hold the old preference.
    virtual void dismissStaleAgent() = 0;
};

// The user's Application Support directory followed by "Ferrolatch".
std::string supportDirectory(Paths& paths);
// The support directory followed by "Drives": one entry per enrolled volume.
std::string registryDirectory(Paths& paths);

// Copies a drive's final manifest into the registry (one entry per volume,
// named by its upper-case UUID) and suppresses the APFS prompt for it. An
// unregistrable manifest is refused before anything is written.
void registerDrive(Files& files, Paths& paths, VolumePromptSuppression& suppression, const Manifest& manifest);

// Removes every entry that holds this volume (entries are known by their
// content, not their names). False when none did; a removal that fails is
// the platform's error.
bool unregisterDrive(Files& files, Paths& paths, std::string_view volumeUUID);

// The enrolled volume UUIDs, upper case. Never fails: whatever cannot be read
// is left out.
std::set<std::string> registeredVolumeUUIDs(Files& files, Paths& paths);

// The upper-case volume UUID held by one registry entry, if it is a valid one.
// The file's name is not compared with its content. Never fails.
std::optional<std::string> registeredVolumeUUID(Files& files, const std::string& path);

}
