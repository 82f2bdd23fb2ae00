#pragma once

#include "crypto/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ferrolatch {

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

// Copies a drive's final manifest into the registry (one entry per volume,
// named by its upper-case UUID) and suppresses the APFS prompt for it. An
// unregistrable manifest is refused before anything is written.
void registerDrive(Files& files, Paths& paths, VolumePromptSuppression& suppression, const Manifest& manifest);

// The enrolled volume UUIDs, upper case. Never fails: whatever cannot be read
// is left out.
std::set<std::string> registeredVolumeUUIDs(Files& files, Paths& paths);

// The upper-case volume UUID held by one registry entry, if it is a valid one.
// The file's name is not compared with its content. Never fails.
std::optional<std::string> registeredVolumeUUID(Files& files, const std::string& path);

}
