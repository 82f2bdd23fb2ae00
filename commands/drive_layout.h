#pragma once

#include "crypto/manifest.h"
#include "common/secret_bytes.h"
#include "disk/apfs_inventory.h"
#include "disk/property_list.h"
#include "platform/files.h"
#include "platform/tool_runner.h"

#include <string>
#include <string_view>

namespace ferrolatch {

inline constexpr std::string_view bootstrapVolumeName = "FERROLATCH";
inline constexpr std::string_view bootstrapManifestName = "ferrolatch.json";
inline constexpr std::string_view bootstrapReadmeName = "README-FERROLATCH.txt";
inline constexpr std::string_view dataVolumePassphraseHint = "Ferrolatch passkey or recovery password";

// The one APFS container whose physical store lies on the whole disk, from
// "diskutil apfs list -plist" output already parsed. Pure.
std::string selectAPFSContainer(const PlistValue& inventory, std::string_view wholeDisk);
// The same, asking diskutil.
std::string findAPFSContainer(ToolRunner& tools, const std::string& wholeDisk);

// Adds an encrypted volume to the container, the password on stdin only, and
// returns its inventory row, which must be encrypted and unlocked. A volume of
// exactly that name is refused before diskutil runs.
APFSVolume createEncryptedVolume(ToolRunner& tools, const std::string& container, const std::string& name,
                                 const SecretBytes& password);

// The README of the bootstrap volume, for this data volume and relying party.
std::string bootstrapReadme(std::string_view volumeName, std::string_view domain);

// The protected manifest and then the README on the bootstrap volume; the
// first failure stops it.
void writeBootstrapFiles(Files& files, const Manifest& manifest, const std::string& mountPoint,
                         const std::string& volumeName);

}
