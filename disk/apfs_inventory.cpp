#include "disk/apfs_inventory.h"

#include "disk/property_list.h"
#include "disk/system_tools.h"
#include "common/errors.h"

namespace ferrolatch {

std::vector<APFSVolume> parseAPFSInventory(std::string_view plist, const std::optional<std::string>& container)
{
    PlistValue inventory = parsePropertyList(plist);
    const PlistValue::Dictionary* top = inventory.dictionary();
    const PlistValue::Array* containers = top ? plistArray(*top, "Containers") : nullptr;
    auto containerDictionaries = containers ? dictionariesOf(*containers) : std::nullopt;
    if (!containerDictionaries)
        throw ProofError("diskutil returned an unreadable APFS inventory");

    std::vector<APFSVolume> volumes;
    for (const PlistValue::Dictionary* entry : *containerDictionaries) {
        if (container) {
            const std::string* reference = plistString(*entry, "ContainerReference");
            if (!reference || *reference != *container)
                continue;
        }
        const PlistValue::Array* entryVolumes = plistArray(*entry, "Volumes");
        auto volumeDictionaries = entryVolumes ? dictionariesOf(*entryVolumes) : std::nullopt;
        if (!volumeDictionaries)
            continue;
        for (const PlistValue::Dictionary* volume : *volumeDictionaries) {
            const std::string* device = plistString(*volume, "DeviceIdentifier");
            const std::string* uuid = plistString(*volume, "APFSVolumeUUID");
            const std::string* name = plistString(*volume, "Name");
            if (!device || !uuid || !name)
                continue;
            volumes.push_back({*device, *uuid, *name, plistBoolean(*volume, "Encryption").value_or(false),
                               plistBoolean(*volume, "Locked").value_or(false)});
        }
    }
    return volumes;
}

std::string parseMountPoint(std::string_view plist, std::string_view device)
{
    PlistValue info = parsePropertyList(plist);
    if (const PlistValue::Dictionary* dictionary = info.dictionary()) {
        const std::string* mountPoint = plistString(*dictionary, "MountPoint");
        if (mountPoint && !mountPoint->empty())
            return *mountPoint;
    }
    throw ProofError("APFS volume " + std::string(device) + " is not mounted");
}

std::vector<APFSVolume> listAPFSVolumes(ToolRunner& tools, const std::optional<std::string>& container)
{
    return parseAPFSInventory(runTool(tools, tools::diskutil, {"apfs", "list", "-plist"}), container);
}

std::string mountPoint(ToolRunner& tools, const std::string& device)
{
    return parseMountPoint(runTool(tools, tools::diskutil, {"info", "-plist", device}), device);
}

void unlockAPFSVolume(ToolRunner& tools, const std::string& device, const SecretBytes& password)
{
    runTool(tools, tools::diskutil, {"apfs", "unlockVolume", device, "-stdinpassphrase"}, password.withLineFeed());
}

void lockAPFSVolume(ToolRunner& tools, const std::string& device)
{
    runTool(tools, tools::diskutil, {"apfs", "lockVolume", device});
}

}
