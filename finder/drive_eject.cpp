#include "finder/drive_eject.h"

#include "common/ascii_case.h"
#include "common/errors.h"
#include "common/path_text.h"
#include "crypto/drive_registry.h"
#include "crypto/volume_uuid.h"
#include "disk/apfs_inventory.h"
#include "disk/localized_order.h"
#include "disk/property_list.h"
#include "disk/system_tools.h"
#include "finder/disk_info_volume.h"

#include <algorithm>
#include <map>

namespace ferrolatch::FerrolatchEject {

namespace {

// diskutil's description of a device; none when it cannot be had.
std::optional<PlistValue::Dictionary> diskInfo(ToolRunner& tools, const std::string& device)
{
    try {
        PlistValue info = parsePropertyList(runTool(tools, tools::diskutil, {"info", "-plist", device}));
        if (const PlistValue::Dictionary* dictionary = info.dictionary())
            return *dictionary;
    } catch (const std::exception&) {
        // A device diskutil cannot describe is simply not offered.
    }
    return std::nullopt;
}

std::optional<std::string> volumeName(const std::vector<MountedVolumeInfo>& listed, const std::string& url)
{
    for (const MountedVolumeInfo& volume : listed)
        if (!volume.path.empty() && volume.path.front() == '/' && lexicallyNormalizedPath(volume.path) == url)
            return volume.name;
    return std::nullopt;
}

std::string displayName(const std::vector<MountedVolumeInfo>& listed, const Target& target)
{
    std::optional<std::string> name = volumeName(listed, target.url);
    if (name && !name->empty())
        return *name;
    return lastPathComponent(target.url);
}

// The targets in list order, before sorting.
std::vector<Target> unsortedTargets(const std::set<std::string>& enrolled, const std::vector<MountedVolume>& volumes)
{
    std::set<std::string> offered = FerrolatchFinderState::sidebarDirectoryURLs(volumes, enrolled);
    std::set<std::string> seen;
    std::vector<Target> targets;
    for (const MountedVolume& volume : volumes) {
        if (volume.url.empty() || volume.url.front() != '/')
            continue;
        std::string url = lexicallyNormalizedPath(volume.url);
        if (!offered.contains(url) || !volume.uuid)
            continue;
        std::optional<std::string> uuid = canonicalVolumeUUID(*volume.uuid);
        if (!uuid || !enrolled.contains(*uuid) || !seen.insert(*uuid).second)
            continue;
        targets.push_back({std::move(*uuid), std::move(url)});
    }
    return targets;
}

}

VolumeDescription describeVolume(ToolRunner& tools, const APFSVolume& volume)
{
    VolumeDescription description;
    std::optional<PlistValue::Dictionary> info = diskInfo(tools, volume.device);
    if (!info)
        return description;
    if (const std::string* mountPoint = plistString(*info, "MountPoint"); mountPoint && !mountPoint->empty())
        description.mountPoint = *mountPoint;
    const std::string* reported = plistString(*info, "VolumeUUID");
    if (reported && asciiUppercased(*reported) == asciiUppercased(volume.uuid))
        description.mounted = FerrolatchFinderState::mountedVolumeFromDiskInfo(*info);
    return description;
}

std::vector<DescribedVolume> describeEnrolledVolumes(ToolRunner& tools, const std::set<std::string>& enrolled,
                                                     const std::vector<APFSVolume>& inventory)
{
    std::vector<DescribedVolume> described;
    for (const APFSVolume& volume : inventory)
        if (enrolled.contains(asciiUppercased(volume.uuid)) && !volume.locked)
            described.push_back({volume, describeVolume(tools, volume)});
    return described;
}

std::vector<MountedVolume> mountedEnrolledVolumes(Files& files, Paths& paths, ToolRunner& tools)
{
    std::vector<APFSVolume> inventory;
    try {
        inventory = listAPFSVolumes(tools);
    } catch (const std::exception&) {
        inventory.clear();
    }
    std::vector<MountedVolume> mounted;
    for (DescribedVolume& described : describeEnrolledVolumes(tools, registeredVolumeUUIDs(files, paths), inventory))
        if (described.description.mounted)
            mounted.push_back(std::move(*described.description.mounted));
    return mounted;
}

std::vector<Target> ejectTargets(const std::set<std::string>& enrolled, const std::vector<MountedVolume>& volumes,
                                 MountedVolumes& listing)
{
    std::vector<Target> targets = unsortedTargets(enrolled, volumes);
    if (targets.size() < 2)
        return targets;
    // One listing for all the names: the sort compares them many times.
    std::vector<MountedVolumeInfo> listed = listing.mountedVolumes(MountedVolumes::Hidden::Listed);
    std::map<std::string, std::string> names;
    for (const Target& target : targets)
        names[target.url] = displayName(listed, target);
    std::stable_sort(targets.begin(), targets.end(), [&](const Target& left, const Target& right) {
        return localizedStandardLess(names[left.url], names[right.url]);
    });
    return targets;
}

std::string targetDisplayName(const Target& target, MountedVolumes& listing)
{
    return displayName(listing.mountedVolumes(MountedVolumes::Hidden::Listed), target);
}

void ejectVolume(const std::string& uuid, const std::set<std::string>& enrolled,
                 const std::vector<MountedVolume>& volumes, MountedVolumes& listing, const EjectOperation& eject)
{
    for (const Target& target : ejectTargets(enrolled, volumes, listing)) {
        if (target.uuid == uuid) {
            eject(target.url);
            return;
        }
    }
    throw PlatformError(errorDomain, noLongerMountedCode, std::string(noLongerMountedText));
}

}
