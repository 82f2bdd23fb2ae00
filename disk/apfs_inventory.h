#pragma once

#include "common/secret_bytes.h"
#include "platform/tool_runner.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// One row of the APFS inventory.
struct APFSVolume {
    std::string device; // e.g. disk5s2
    std::string uuid;   // as diskutil prints it
    std::string name;
    bool encrypted = false;
    bool locked = false;

    bool operator==(const APFSVolume&) const = default;
};

// One APFS container of the inventory: its reference ("disk5"), the devices
// of its physical stores ("disk4s2") and its volumes in order.
struct APFSContainer {
    std::string reference;
    std::vector<std::string> physicalStores;
    std::vector<APFSVolume> volumes;

    bool operator==(const APFSContainer&) const = default;
};

// The containers of "diskutil apfs list -plist" output, in order.
std::vector<APFSContainer> parseAPFSContainers(std::string_view plist);

// The volumes of "diskutil apfs list -plist" output, containers in order and
// volumes in order within each; with a filter, only that container's.
std::vector<APFSVolume> parseAPFSInventory(std::string_view plist, const std::optional<std::string>& container);

// The mount point in "diskutil info -plist" output for a device.
std::string parseMountPoint(std::string_view plist, std::string_view device);

std::vector<APFSVolume> listAPFSVolumes(ToolRunner& tools, const std::optional<std::string>& container = std::nullopt);
std::vector<APFSContainer> listAPFSContainers(ToolRunner& tools);
std::string mountPoint(ToolRunner& tools, const std::string& device);

// The password travels on stdin followed by a line feed, on a copy; the
// caller's bytes are left as they are.
void unlockAPFSVolume(ToolRunner& tools, const std::string& device, const SecretBytes& password);
void lockAPFSVolume(ToolRunner& tools, const std::string& device);

}
