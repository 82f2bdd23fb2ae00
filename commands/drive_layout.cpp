#include "commands/drive_layout.h"

#include "common/constants.h"
#include "disk/system_tools.h"
#include "disk/volume_files.h"
#include "common/errors.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace ferrolatch {

namespace {

// Whether the container has a store on the disk. The "s" keeps disk4 from
// claiming disk40's partitions.
bool storesOnDisk(const PlistValue::Dictionary& container, std::string_view wholeDisk)
{
    const PlistValue::Array* stores = plistArray(container, "PhysicalStores");
    if (!stores || stores->empty())
        return false;
    auto storeDictionaries = dictionariesOf(*stores);
    if (!storeDictionaries)
        return false;
    std::string prefix = std::string(wholeDisk) + "s";
    return std::any_of(storeDictionaries->begin(), storeDictionaries->end(), [&](const PlistValue::Dictionary* store) {
        const std::string* device = plistString(*store, "DeviceIdentifier");
        return device && device->starts_with(prefix);
    });
}

}

std::string selectAPFSContainer(const PlistValue& inventory, std::string_view wholeDisk)
{
    const PlistValue::Dictionary* top = inventory.dictionary();
    const PlistValue::Array* containers = top ? plistArray(*top, "Containers") : nullptr;
    auto containerDictionaries = containers ? dictionariesOf(*containers) : std::nullopt;
    if (!containerDictionaries)
        throw ProofError("diskutil returned an unreadable APFS inventory");

    std::vector<std::string> matches;
    for (const PlistValue::Dictionary* container : *containerDictionaries) {
        const std::string* reference = plistString(*container, "ContainerReference");
        if (reference && storesOnDisk(*container, wholeDisk))
            matches.push_back(*reference);
    }
    if (matches.size() != 1)
        throw ProofError("could not identify exactly one APFS container on " + std::string(wholeDisk));
    return matches.front();
}

std::string findAPFSContainer(ToolRunner& tools, const std::string& wholeDisk)
{
    return selectAPFSContainer(parsePropertyList(runTool(tools, tools::diskutil, {"apfs", "list", "-plist"})),
                               wholeDisk);
}

APFSVolume createEncryptedVolume(ToolRunner& tools, const std::string& container, const std::string& name,
                                 const SecretBytes& password)
{
    std::vector<APFSVolume> earlier = listAPFSVolumes(tools, container);
    if (std::any_of(earlier.begin(), earlier.end(), [&](const APFSVolume& volume) { return volume.name == name; }))
        throw ProofError("refusing to replace existing APFS volume named " + name);

    runTool(tools, tools::diskutil,
            {"apfs", "addVolume", container, "APFS", name, "-stdinpassphrase", "-passphraseHint",
             std::string(dataVolumePassphraseHint)},
            password.withLineFeed());

    // The new row is told apart by a UUID the container did not have before.
    std::vector<APFSVolume> later = listAPFSVolumes(tools, container);
    auto isNew = [&](const APFSVolume& volume) {
        return volume.name == name && std::none_of(earlier.begin(), earlier.end(), [&](const APFSVolume& old) {
                   return old.uuid == volume.uuid;
               });
    };
    auto created = std::find_if(later.begin(), later.end(), isNew);
    if (created == later.end())
        throw ProofError("diskutil created no uniquely identifiable APFS volume");
    if (!created->encrypted || created->locked)
        throw ProofError("new APFS volume did not enter the expected encrypted, unlocked state");
    return *created;
}

std::string bootstrapReadme(std::string_view volumeName, std::string_view domain)
{
    std::string volume(volumeName);
    const std::vector<std::string> lines = {
        "Ferrolatch encrypted drive",
        "",
        "Encrypted volume: " + volume,
        "Credential domain: " + std::string(domain),
        "",
        "Keep ferrolatch.json with this disk. It is not a password: it contains the",
        "passkey credential identifier, PRF salt, and an authenticated encrypted wrap",
        "of the APFS recovery password. The password itself is never stored here.",
        "",
        "Normal unlock: open Ferrolatch and approve the passkey prompt.",
        "Manual recovery: use the recovery password saved in Apple Passwords or on",
        "your optional offline recovery card. In Disk Utility, select",
        volume + ", choose Mount or Unlock, and enter that password.",
    };
    std::string text;
    for (std::size_t index = 0; index < lines.size(); ++index)
        text += (index ? "\n" : "") + lines[index];
    return text;
}

void writeBootstrapFiles(Files& files, const Manifest& manifest, const std::string& mountPoint,
                         const std::string& volumeName)
{
    std::string manifestPath = mountPoint + "/" + std::string(bootstrapManifestName);
    writeManifest(files, manifest, manifestPath);
    protectHiddenFile(files, manifestPath);
    files.writeFileAtomically(mountPoint + "/" + std::string(bootstrapReadmeName),
                              bootstrapReadme(volumeName, relyingPartyDomain));
}

}
