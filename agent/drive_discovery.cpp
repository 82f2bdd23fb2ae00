#include "agent/drive_discovery.h"

#include "common/errors.h"
#include "common/path_text.h"
#include "crypto/volume_uuid.h"
#include "disk/localized_order.h"
#include "disk/property_list.h"
#include "disk/system_tools.h"

#include <algorithm>
#include <cerrno>
#include <regex>

namespace ferrolatch {

namespace {

std::string inside(const std::string& directory, std::string_view name)
{
    std::string path = directory;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

bool isPartitionIdentifier(const std::string& identifier)
{
    static const std::regex pattern("^disk[0-9]+s[0-9]+$");
    return std::regex_match(identifier, pattern);
}

// "disk4s2" -> "disk4"; empty for anything else.
std::string wholeDiskOf(const std::string& device)
{
    if (!isPartitionIdentifier(device))
        return {};
    return device.substr(0, device.rfind('s'));
}

const MountedVolumeInfo& listedVolume(const std::vector<MountedVolumeInfo>& listing, const std::string& path)
{
    std::string wanted = lexicallyNormalizedPath(path);
    for (const MountedVolumeInfo& volume : listing)
        if (!volume.path.empty() && volume.path.front() == '/' && lexicallyNormalizedPath(volume.path) == wanted)
            return volume;
    throw PlatformError::fromErrno(ENOENT, "could not read the volume's resource values at " + path);
}

const APFSContainer* containerHolding(const std::vector<APFSContainer>& containers, const std::string& device)
{
    for (const APFSContainer& container : containers)
        for (const APFSVolume& volume : container.volumes)
            if (volume.device == device)
                return &container;
    return nullptr;
}

// One whole disk behind every physical store of the container.
bool onOneWholeDisk(const APFSContainer& container)
{
    if (container.physicalStores.empty())
        return false;
    std::string disk = wholeDiskOf(container.physicalStores.front());
    return !disk.empty() && std::all_of(container.physicalStores.begin(), container.physicalStores.end(),
                                        [&](const std::string& store) { return wholeDiskOf(store) == disk; });
}

}

std::vector<std::string> discoverManifests(const std::vector<MountedVolumeInfo>& volumes, Files& files)
{
    std::vector<std::string> manifests;
    for (const MountedVolumeInfo& volume : volumes) {
        std::string candidate = inside(volume.path, bootstrapManifestName);
        try {
            if (files.exists(candidate))
                manifests.push_back(candidate);
        } catch (const std::exception&) {
            // A volume the user may not look into carries nothing for us; the others still count.
        }
    }
    std::stable_sort(manifests.begin(), manifests.end(), [](const std::string& left, const std::string& right) {
        return localizedStandardLess(left, right);
    });
    return manifests;
}

std::vector<std::string> discoverManifests(MountedVolumes& volumes, Files& files)
{
    std::vector<MountedVolumeInfo> mounted;
    try {
        mounted = volumes.mountedVolumes(MountedVolumes::Hidden::Listed);
    } catch (const std::exception&) {
        mounted.clear();
    }
    return discoverManifests(mounted, files);
}

std::string bootstrapDeviceIdentifier(ToolRunner& tools, const std::string& volumePath)
{
    PlistValue info = parsePropertyList(runTool(tools, tools::diskutil, {"info", "-plist", volumePath}));
    const PlistValue::Dictionary* dictionary = info.dictionary();
    const std::string* identifier = dictionary ? plistString(*dictionary, "DeviceIdentifier") : nullptr;
    std::optional<bool> internal = dictionary ? plistBoolean(*dictionary, "Internal") : std::nullopt;
    if (!identifier || !isPartitionIdentifier(*identifier) || internal != false)
        throw ProofError("could not identify the external bootstrap volume");
    return *identifier;
}

BootstrapVolume identifyBootstrapVolume(ToolRunner& tools, const std::vector<MountedVolumeInfo>& listing,
                                        const std::vector<APFSContainer>& containers, const std::string& manifestPath)
{
    BootstrapVolume bootstrap;
    bootstrap.path = parentDirectory(manifestPath);
    const MountedVolumeInfo& values = listedVolume(listing, bootstrap.path);
    if (values.isInternal != false)
        throw ProofError("refusing to hide a bootstrap volume on internal storage");
    bootstrap.browsable = values.isBrowsable != false;

    std::optional<std::string> uuid = values.uuid ? canonicalVolumeUUID(*values.uuid) : std::nullopt;
    if (!uuid) {
        bootstrap.device = bootstrapDeviceIdentifier(tools, bootstrap.path);
        return bootstrap;
    }
    for (const APFSContainer& container : containers)
        for (const APFSVolume& volume : container.volumes)
            if (canonicalVolumeUUID(volume.uuid) == uuid && isPartitionIdentifier(volume.device))
                bootstrap.device = volume.device;
    if (bootstrap.device.empty())
        throw ProofError("could not identify the external bootstrap volume");
    return bootstrap;
}

void acceptDriveVolume(const std::vector<APFSContainer>& containers, const BootstrapVolume& bootstrap,
                       const std::string& volumeUUID)
{
    const ProofError refusal("the manifest names a volume that is not an encrypted volume of its own Ferrolatch disk");
    const APFSContainer* container = containerHolding(containers, bootstrap.device);
    std::optional<std::string> wanted = canonicalVolumeUUID(volumeUUID);
    if (!container || !onOneWholeDisk(*container) || !wanted)
        throw refusal;
    for (const APFSVolume& volume : container->volumes)
        if (canonicalVolumeUUID(volume.uuid) == wanted && volume.device != bootstrap.device && volume.encrypted)
            return;
    throw refusal;
}

std::string hideBootstrapVolume(ToolRunner& tools, Files& files, const BootstrapVolume& bootstrap,
                                const std::string& manifestPath)
{
    if (!bootstrap.browsable)
        return manifestPath;
    // diskutil must agree that it is the external volume the inventory named.
    std::string device = bootstrapDeviceIdentifier(tools, bootstrap.path);
    if (device != bootstrap.device)
        throw ProofError("could not identify the external bootstrap volume");
    runTool(tools, tools::diskutil, {"unmount", device});
    runTool(tools, tools::diskutil, {"mount", "nobrowse", device});
    std::string remounted = inside(mountPoint(tools, device), bootstrapManifestName);
    if (!files.exists(remounted))
        throw ProofError("bootstrap remounted without its Ferrolatch manifest");
    return remounted;
}

}
