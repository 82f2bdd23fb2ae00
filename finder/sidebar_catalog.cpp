#include "finder/sidebar_catalog.h"

#include "common/json_bounds.h"
#include "common/path_text.h"
#include "crypto/volume_uuid.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ferrolatch::FerrolatchFinderState {

namespace {

using Json = nlohmann::json;

// A catalog never needs to nest; deeper text is refused before the parser
// builds anything from it.
constexpr int deepestCatalogNesting = 8;

PlatformError fileError(long code, const std::string& description)
{
    return PlatformError(cocoaErrorDomain, code, description);
}

PlatformError corruptCatalog()
{
    return fileError(fileReadCorruptFileError, "The file “" + std::string(catalogFileName) +
                                                    "” couldn’t be opened because it isn’t in the correct format.");
}

PlatformError unwritableSet()
{
    return fileError(fileWriteInvalidFileNameError,
                     "The file “" + std::string(catalogFileName) + "” couldn’t be saved because the file name is invalid.");
}

// The platform's decoder error: the data is not JSON of the catalog's shape.
PlatformError undecodable()
{
    return PlatformError(cocoaErrorDomain, 4864, "The data couldn’t be read because it isn’t in the correct format.");
}

bool isIntegral(double number)
{
    return std::trunc(number) == number && number >= -9.2e18 && number <= 9.2e18;
}

Catalog decodeCatalog(std::string_view bytes)
{
    if (jsonNestsDeeperThan(bytes, deepestCatalogNesting))
        throw undecodable();
    Json json = Json::parse(bytes, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        throw undecodable();
    if (!json.contains("version") || !json.contains("volumeUUIDs"))
        throw undecodable();
    const Json& version = json.at("version");
    const Json& uuids = json.at("volumeUUIDs");
    if (!uuids.is_array())
        throw undecodable();
    Catalog catalog;
    if (version.is_number_integer() && !version.is_number_unsigned())
        catalog.version = version.get<std::int64_t>();
    else if (version.is_number_unsigned() &&
             version.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        catalog.version = static_cast<std::int64_t>(version.get<std::uint64_t>());
    else if (version.is_number_float() && isIntegral(version.get<double>()))
        catalog.version = static_cast<std::int64_t>(version.get<double>()); // as the platform's decoder does
    else
        throw undecodable();
    for (const Json& entry : uuids) {
        if (!entry.is_string())
            throw undecodable();
        catalog.volumeUUIDs.push_back(entry.get<std::string>());
    }
    return catalog;
}

}

std::string catalogURL(Paths& paths)
{
    std::optional<std::string> container = paths.groupContainer(applicationGroupIdentifier);
    if (!container)
        throw fileError(fileNoSuchFileError, "The file “" + std::string(catalogFileName) + "” doesn’t exist.");
    return *container + "/" + std::string(catalogFileName);
}

void writeCatalog(Files& files, Notifications& notifications, const std::set<std::string>& uuids,
                  const std::string& url)
{
    std::set<std::string> canonical;
    for (const std::string& uuid : uuids) {
        std::optional<std::string> parsed = canonicalVolumeUUID(uuid);
        if (!parsed)
            throw unwritableSet();
        canonical.insert(*parsed);
    }
    if (canonical.size() > mostCatalogEntries)
        throw unwritableSet();
    try {
        if (fetchCatalog(files, url) == canonical)
            return;
    } catch (const std::exception&) {
        // An unreadable catalog is simply rewritten.
    }
    Json json = Json::object();
    json["version"] = 1;
    json["volumeUUIDs"] = std::vector<std::string>(canonical.begin(), canonical.end()); // a set sorts ascending
    files.writeFileAtomically(url, json.dump());
    notifications.post(volumesChangedNotification);
}

std::set<std::string> fetchCatalog(Files& files, const std::string& url)
{
    std::optional<FileAttributes> attributes = files.attributes(url);
    if (!attributes)
        throw PlatformError::fromErrno(ENOENT, "could not read " + url);
    if (attributes->type != FileAttributes::Type::Regular || attributes->size > largestCatalogFile)
        throw corruptCatalog();
    std::string bytes = files.readFile(url);
    // The file may have been replaced by a larger one since its size was read.
    if (bytes.size() > largestCatalogFile)
        throw corruptCatalog();
    Catalog catalog = decodeCatalog(bytes);
    if (catalog.version != 1 || catalog.volumeUUIDs.size() > mostCatalogEntries)
        throw corruptCatalog();
    std::set<std::string> uuids;
    for (const std::string& entry : catalog.volumeUUIDs) {
        std::optional<std::string> uuid = canonicalVolumeUUID(entry);
        if (!uuid)
            throw corruptCatalog();
        uuids.insert(std::move(*uuid));
    }
    return uuids;
}

std::vector<MountedVolume> mountedVolumes(MountedVolumes& listing)
{
    std::vector<MountedVolume> volumes;
    for (MountedVolumeInfo& info : listing.mountedVolumes(MountedVolumes::Hidden::Skipped))
        volumes.push_back({.url = std::move(info.path), .uuid = std::move(info.uuid),
                           .isInternal = info.isInternal.value_or(true)});
    return volumes;
}

std::set<std::string> sidebarDirectoryURLs(const std::vector<MountedVolume>& volumes,
                                           const std::set<std::string>& catalog)
{
    std::set<std::string> urls;
    for (const MountedVolume& volume : volumes) {
        if (volume.isInternal || volume.url.empty() || volume.url.front() != '/')
            continue;
        std::string url = lexicallyNormalizedPath(volume.url);
        if (url == "/" || !volume.uuid)
            continue;
        std::optional<std::string> uuid = canonicalVolumeUUID(*volume.uuid);
        if (uuid && catalog.contains(*uuid))
            urls.insert(std::move(url));
    }
    return urls;
}

}
