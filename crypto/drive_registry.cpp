#include "crypto/drive_registry.h"

#include "crypto/manifest_rules.h"
#include "crypto/volume_uuid.h"

#include <exception>
#include <vector>

namespace ferrolatch {

namespace {

constexpr std::uint32_t registryDirectoryMode = 0700;
constexpr std::uint32_t entryMode = 0600;

// The extension after the last dot of the last path component; a leading dot
// alone (".json") names a file without one.
std::string_view pathExtension(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

// A Mac hides a file by its name or by its flag. An entry whose flags cannot
// be read is passed over like an unreadable one; it must not hide the others.
bool isHiddenEntry(Files& files, const std::string& name, const std::string& path)
{
    if (name.empty() || name.front() == '.')
        return true;
    try {
        std::optional<FileAttributes> attributes = files.attributes(path);
        return attributes && (attributes->flags & static_cast<std::uint32_t>(FileFlag::Hidden)) != 0;
    } catch (const std::exception&) {
        return true;
    }
}

}

std::string supportDirectory(Paths& paths)
{
    std::string applicationSupport = paths.applicationSupportDirectory();
    while (applicationSupport.size() > 1 && applicationSupport.back() == '/')
        applicationSupport.pop_back();
    return applicationSupport + "/Ferrolatch";
}

std::string registryDirectory(Paths& paths)
{
    return supportDirectory(paths) + "/Drives";
}

void registerDrive(Files& files, Paths& paths, VolumePromptSuppression& suppression, const Manifest& manifest)
{
    acceptRegistrableManifest(manifest);
    // Registrable means the UUID is well formed, so it is also a safe file name.
    std::string uuid = *canonicalVolumeUUID(*manifest.volumeUUID);

    std::string directory = registryDirectory(paths);
    files.createDirectory(directory, registryDirectoryMode);
    std::string entry = directory + "/" + uuid + ".json";
    writeManifest(files, manifest, entry);
    files.setMode(entry, entryMode);

    if (suppression.install(*manifest.volumeUUID))
        suppression.dismissStaleAgent();
}

namespace {

// The valid entries in listing order, with the UUID each holds.
std::vector<std::pair<std::string, std::string>> registryEntries(Files& files, Paths& paths)
{
    std::string directory;
    std::vector<std::string> names;
    try {
        directory = registryDirectory(paths);
        names = files.listDirectory(directory);
    } catch (const std::exception&) {
        // No support directory or no registry yet: nothing is enrolled.
        return {};
    }
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& name : names) {
        std::string path = directory + "/" + name;
        if (isHiddenEntry(files, name, path))
            continue;
        if (std::optional<std::string> uuid = registeredVolumeUUID(files, path))
            entries.emplace_back(std::move(path), std::move(*uuid));
    }
    return entries;
}

}

bool unregisterDrive(Files& files, Paths& paths, std::string_view volumeUUID)
{
    std::optional<std::string> uuid = canonicalVolumeUUID(volumeUUID);
    bool removed = false;
    for (const auto& [path, entryUUID] : registryEntries(files, paths)) {
        if (entryUUID != uuid)
            continue;
        files.removeFile(path);
        removed = true;
    }
    return removed;
}

std::set<std::string> registeredVolumeUUIDs(Files& files, Paths& paths)
{
    std::set<std::string> uuids;
    for (auto& [path, uuid] : registryEntries(files, paths))
        uuids.insert(std::move(uuid));
    return uuids;
}

std::optional<std::string> registeredVolumeUUID(Files& files, const std::string& path)
{
    if (pathExtension(path) != "json")
        return std::nullopt;
    try {
        Manifest manifest = readManifest(files, path);
        if (!isRegistrableManifest(manifest))
            return std::nullopt;
        return canonicalVolumeUUID(*manifest.volumeUUID);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}
