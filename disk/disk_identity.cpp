#include "disk/disk_identity.h"

#include "disk/localized_order.h"
#include "disk/system_tools.h"
#include "common/errors.h"
#include "common/hex.h"
#include "common/sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <exception>
#include <optional>

namespace ferrolatch {

namespace {

constexpr std::int64_t smallestPlausibleSize = 64LL * 1024 * 1024;

// ^disk[0-9]+$
bool isWholeDiskIdentifier(std::string_view identifier)
{
    constexpr std::string_view prefix = "disk";
    if (identifier.size() <= prefix.size() || identifier.substr(0, prefix.size()) != prefix)
        return false;
    return std::all_of(identifier.begin() + prefix.size(), identifier.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool stringEquals(const PlistValue::Dictionary& identity, std::string_view key, std::string_view expected)
{
    const std::string* value = plistString(identity, key);
    return value && *value == expected;
}

bool booleanIs(const PlistValue::Dictionary& identity, std::string_view key, bool expected)
{
    return plistBoolean(identity, key) == expected;
}

const std::string* nonEmptyString(const PlistValue::Dictionary& identity, std::string_view key)
{
    const std::string* value = plistString(identity, key);
    return value && !value->empty() ? value : nullptr;
}

}

std::string confirmationToken(std::string_view identifier, std::string_view mediaName, std::string_view busProtocol,
                              std::int64_t sizeBytes, std::string_view deviceTreePath)
{
    std::string joined = std::string(identifier) + "|" + std::string(mediaName) + "|" + std::string(busProtocol) + "|" +
        std::to_string(sizeBytes) + "|" + std::string(deviceTreePath);
    return "ERASE-" + std::string(identifier) + "-" + hexString(sha256(joined)).substr(0, 16);
}

DriveInspection validateDiskIdentity(const PlistValue::Dictionary& identity, std::string_view identifier)
{
    if (!isWholeDiskIdentifier(identifier))
        throw ProofError("whole disk must use the exact diskN identifier form");

    std::string node = "/dev/" + std::string(identifier);
    if (!stringEquals(identity, "DeviceIdentifier", identifier) || !stringEquals(identity, "DeviceNode", node) ||
        !stringEquals(identity, "ParentWholeDisk", identifier) || !booleanIs(identity, "WholeDisk", true))
        throw ProofError("refusing a device that is not the exact requested whole disk");

    if (!booleanIs(identity, "Internal", false))
        throw ProofError("refusing an internal disk");

    if (!booleanIs(identity, "RemovableMediaOrExternalDevice", true) ||
        !stringEquals(identity, "VirtualOrPhysical", "Physical"))
        throw ProofError("refusing a disk that is not a physical external/removable device");

    if (!booleanIs(identity, "Writable", true) || !booleanIs(identity, "WritableMedia", true) ||
        !booleanIs(identity, "SystemImage", false))
        throw ProofError("refusing a read-only or system-image disk");

    const std::string* mediaName = nonEmptyString(identity, "MediaName");
    const std::string* busProtocol = nonEmptyString(identity, "BusProtocol");
    const std::string* deviceTreePath = nonEmptyString(identity, "DeviceTreePath");
    std::optional<std::int64_t> size = plistNumber(identity, "TotalSize");
    if (!mediaName || !busProtocol || !deviceTreePath || !size || *size < smallestPlausibleSize)
        throw ProofError("disk identity is incomplete or implausibly small");

    return {std::string(inspectionSchema), std::string(identifier), node, *mediaName, *busProtocol, *size,
            *deviceTreePath, confirmationToken(identifier, *mediaName, *busProtocol, *size, *deviceTreePath)};
}

DriveInspection inspectDiskInfo(std::string_view plist, std::string_view identifier)
{
    PlistValue identity = parsePropertyList(plist);
    if (!identity.dictionary())
        throw ProofError("diskutil returned an unreadable disk identity");
    return validateDiskIdentity(*identity.dictionary(), identifier);
}

std::vector<std::string> parseExternalDiskInventory(std::string_view plist)
{
    PlistValue inventory = parsePropertyList(plist);
    const PlistValue::Array* wholeDisks = inventory.dictionary() ? plistArray(*inventory.dictionary(), "WholeDisks")
                                                                 : nullptr;
    if (!wholeDisks)
        throw ProofError("diskutil returned an unreadable external-disk inventory");
    std::vector<std::string> identifiers;
    for (const PlistValue& entry : *wholeDisks) {
        if (!entry.string())
            throw ProofError("diskutil returned an unreadable external-disk inventory");
        identifiers.push_back(*entry.string());
    }
    return identifiers;
}

DriveInspection inspectWholeDisk(ToolRunner& tools, const std::string& identifier)
{
    return inspectDiskInfo(runTool(tools, tools::diskutil, {"info", "-plist", identifier}), identifier);
}

std::vector<DriveInspection> listEligibleExternalDisks(ToolRunner& tools)
{
    std::vector<std::string> identifiers =
        parseExternalDiskInventory(runTool(tools, tools::diskutil, {"list", "-plist", "external", "physical"}));
    std::vector<DriveInspection> disks;
    for (const std::string& identifier : identifiers) {
        try {
            disks.push_back(inspectWholeDisk(tools, identifier));
        } catch (const std::exception&) {
            // Whatever cannot be inspected is simply not offered.
        }
    }
    std::stable_sort(disks.begin(), disks.end(), [](const DriveInspection& left, const DriveInspection& right) {
        return localizedStandardLess(left.deviceIdentifier, right.deviceIdentifier);
    });
    return disks;
}

nlohmann::json driveInspectionJSON(const DriveInspection& inspection)
{
    return {
        {"schema", inspection.schema},
        {"deviceIdentifier", inspection.deviceIdentifier},
        {"deviceNode", inspection.deviceNode},
        {"mediaName", inspection.mediaName},
        {"busProtocol", inspection.busProtocol},
        {"sizeBytes", inspection.sizeBytes},
        {"deviceTreePath", inspection.deviceTreePath},
        {"confirmationToken", inspection.confirmationToken},
    };
}

}
