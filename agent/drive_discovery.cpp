#include "agent/drive_discovery.h"

#include "common/errors.h"
#include "common/path_text.h"
#include "disk/apfs_inventory.h"
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

// The resource values of the volume mounted at path, as the listing gives them.
MountedVolumeInfo volumeResourceValues(MountedVolumes& volumes, const std::string& path)
{
    std::string wanted = lexicallyNormalizedPath(path);
    for (MountedVolumeInfo& volume : volumes.mountedVolumes(MountedVolumes::Hidden::Listed))
        if (lexicallyNormalizedPath(volume.path) == wanted)
            return volume;
    throw PlatformError::fromErrno(ENOENT, "could not read the volume's resource values at " + path);
}

}

std::vector<std::string> discoverManifests(MountedVolumes& volumes, Files& files)
{
    std::vector<MountedVolumeInfo> mounted;
    try {
        mounted = volumes.mountedVolumes(MountedVolumes::Hidden::Listed);
    } catch (const std::exception&) {
        mounted.clear();
    }
    std::vector<std::string> manifests;
    for (const MountedVolumeInfo& volume : mounted) {
        std::string candidate = inside(volume.path, bootstrapManifestName);
        if (files.exists(candidate))
            manifests.push_back(candidate);
    }
    std::stable_sort(manifests.begin(), manifests.end(), [](const std::string& left, const std::string& right) {
        return localizedStandardLess(left, right);
    });
    return manifests;
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

std::string hideBootstrapVolume(ToolRunner& tools, Files& files, MountedVolumes& volumes,
                                const std::string& manifestPath)
{
    std::string volumePath = parentDirectory(manifestPath);
    MountedVolumeInfo values = volumeResourceValues(volumes, volumePath);
    if (values.isInternal != false)
        throw ProofError("refusing to hide a bootstrap volume on internal storage");
    if (values.isBrowsable == false)
        return manifestPath;

    std::string device = bootstrapDeviceIdentifier(tools, volumePath);
    runTool(tools, tools::diskutil, {"unmount", device});
    runTool(tools, tools::diskutil, {"mount", "nobrowse", device});
    std::string remounted = inside(mountPoint(tools, device), bootstrapManifestName);
    if (!files.exists(remounted))
        throw ProofError("bootstrap remounted without its Ferrolatch manifest");
    return remounted;
}

void runInOwnAppBundle(ToolRunner& tools, Paths& paths, const std::vector<std::string>& arguments)
{
    std::string bundle = paths.mainBundle();
    if (!bundle.empty() && bundle.front() == '/')
        bundle = lexicallyNormalizedPath(bundle);
    while (bundle.size() > 1 && bundle.back() == '/')
        bundle.pop_back();
    if (bundle.empty() || bundle.front() != '/' || !bundle.ends_with(".app") || lastPathComponent(bundle) == ".app")
        throw ProofError("Ferrolatch could not locate its signed application bundle");
    std::vector<std::string> words {"-n", "-W", bundle, "--args"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    runTool(tools, tools::open, words);
}

}
