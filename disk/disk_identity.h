#pragma once

#include "disk/property_list.h"
#include "platform/tool_runner.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ferrolatch {

// An inspected external whole disk with the token that binds consent to it.
struct DriveInspection {
    std::string schema;
    std::string deviceIdentifier;
    std::string deviceNode;
    std::string mediaName;
    std::string busProtocol;
    std::int64_t sizeBytes = 0;
    std::string deviceTreePath;
    std::string confirmationToken;

    bool operator==(const DriveInspection&) const = default;
};

inline constexpr std::string_view inspectionSchema = "ferrolatch.inspect.v1";

// Pure: refuses everything but the exact, external, physical, writable whole
// disk of plausible size that was asked for, and condenses its identity into
// the record and token.
DriveInspection validateDiskIdentity(const PlistValue::Dictionary& identity, std::string_view identifier);

// "ERASE-<identifier>-" and the first 16 hex digits of SHA-256 over the
// identity's fields joined by "|".
std::string confirmationToken(std::string_view identifier, std::string_view mediaName, std::string_view busProtocol,
                              std::int64_t sizeBytes, std::string_view deviceTreePath);

// "diskutil info -plist" output for the identifier, validated.
DriveInspection inspectDiskInfo(std::string_view plist, std::string_view identifier);
// The WholeDisks of "diskutil list -plist external physical" output.
std::vector<std::string> parseExternalDiskInventory(std::string_view plist);

DriveInspection inspectWholeDisk(ToolRunner& tools, const std::string& identifier);
// The eligible external disks in Finder-like order; disks that fail inspection are left out.
std::vector<DriveInspection> listEligibleExternalDisks(ToolRunner& tools);

// The record as a JSON object keyed by the field names.
nlohmann::json driveInspectionJSON(const DriveInspection& inspection);

}
