#include "disk/apfs_inventory.h"

#include "disk/property_list.h"
#include "disk/system_tools.h"
#include "common/errors.h"

namespace ferrolatch {

std::vector<APFSContainer> parseAPFSContainers(std::string_view plist)
{
    PlistValue inventory = parsePropertyList(plist);
    const PlistValue::Dictionary* top = inventory.dictionary();
    const PlistValue::Array* containers = top ? plistArray(*top, "Containers") : nullptr;
    auto containerDictionaries = containers ? dictionariesOf(*containers) : std::nullopt;
    if (!containerDictionaries)
        throw ProofError("diskutil returned an unreadable APFS inventory");

    std::vector<APFSContainer> parsed;
    for (const PlistValue::Dictionary* entry : *containerDictionaries) {
        APFSContainer container;
        if (const std::string* reference = plistString(*entry, "ContainerReference"))
            container.reference = *reference;
        const PlistValue::Array* stores = plistArray(*entry, "PhysicalStores");
        if (auto storeDictionaries = stores ? dictionariesOf(*stores) : std::nullopt)
            for (const PlistValue::Dictionary* store : *storeDictionaries)
                if (const std::string* device = plistString(*store, "DeviceIdentifier"))
                    container.physicalStores.push_back(*device);
        const PlistValue::Array* entryVolumes = plistArray(*entry, "Volumes");
        if (auto volumeDictionaries = entryVolumes ? dictionariesOf(*entryVolumes) : std::nullopt) {
            for (const PlistValue::Dictionary* volume : *volumeDictionaries) {
                const std::string* device = plistString(*volume, "DeviceIdentifier");
                const std::string* uuid = plistString(*volume, "APFSVolumeUUID");
                const std::string* name = plistString(*volume, "Name");
                if (!device || !uuid || !name)
                    continue;
                container.volumes.push_back({*device, *uuid, *name, plistBoolean(*volume, "Encryption").value_or(false),
                                             plistBoolean(*volume, "Locked").value_or(false)});
            }
        }
        parsed.push_back(std::move(container));
    }
    return parsed;
}

std::vector<APFSVolume> parseAPFSInventory(std::string_view plist, const std::optional<std::string>& container)
{
    std::vector<APFSVolume> volumes;
    for (APFSContainer& entry : parseAPFSContainers(plist)) {
        if (container && entry.reference != *container)
            continue;
        volumes.insert(volumes.end(), entry.volumes.begin(), entry.volumes.end());
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

std::vector<APFSContainer> listAPFSContainers(ToolRunner& tools)
{
    return parseAPFSContainers(runTool(tools, tools::diskutil, {"apfs", "list", "-plist"}));
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
