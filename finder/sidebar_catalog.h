#pragma once

#include "common/build_config.h"
#include "platform/files.h"
#include "platform/mounted_volumes.h"
#include "platform/notifications.h"
#include "platform/paths.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// What the agent and the Finder extension share: the catalog of enrolled
// volumes in the application group's container, its change notification, and
// the mounted volumes that the catalog picks out.
namespace ferrolatch::FerrolatchFinderState {

inline constexpr std::string_view applicationGroupIdentifier = build::applicationGroupIdentifier;
inline constexpr std::string_view catalogFileName = "sidebar-volumes.json";
inline constexpr std::string_view volumesChangedNotification = "com.quorvel.ferrolatch.finder.volumes-changed";
inline constexpr std::size_t largestCatalogFile = 65536;
inline constexpr std::size_t mostCatalogEntries = 1024;

// Foundation's file error codes, in its error domain.
inline constexpr const char* cocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long fileNoSuchFileError = 4;
inline constexpr long fileReadCorruptFileError = 259;
inline constexpr long fileWriteInvalidFileNameError = 514;

struct Catalog {
    std::int64_t version = 1;
    std::vector<std::string> volumeUUIDs;
};

// A mounted volume as these operations see it.
struct MountedVolume {
    std::string url; // the mount location, a directory path
    std::optional<std::string> uuid; // as the system reports it
    bool isInternal = true;          // also when the system does not say
    bool operator==(const MountedVolume&) const = default;
};

std::string catalogURL(Paths& paths);

// Writes only when the set changes, then posts the change notification.
void writeCatalog(Files& files, Notifications& notifications, const std::set<std::string>& uuids,
                  const std::string& url);

// The catalog's UUIDs, canonical upper case. A file that is too large, of
// another version, too long or with a malformed entry is refused whole.
std::set<std::string> fetchCatalog(Files& files, const std::string& url);

// The browsable mounted volumes, in the system's order.
std::vector<MountedVolume> mountedVolumes(MountedVolumes& listing);

// The standardized mount locations of the external volumes the catalog names,
// never "/".
std::set<std::string> sidebarDirectoryURLs(const std::vector<MountedVolume>& volumes,
                                           const std::set<std::string>& catalog);

}
