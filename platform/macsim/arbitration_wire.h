#pragma once

#include "platform/disk_arbitration.h"

#include <optional>
#include <string>

// What a tool and a Disk Arbitration session of the virtual Mac say to each
// other: one JSON line each way per connection. The tool names the disk and
// carries its description, so that a session answers without reading the
// machine's state (the tool holds its lock meanwhile).
namespace ferrolatch::arbitration_wire {

enum class Request { Peek, Approve, Release };

struct Message {
    Request request = Request::Peek;
    std::string disk;                      // "disk5s2"
    std::optional<std::string> volumeUUID; // as the machine keeps it
};

std::string encodeMessage(const Message& message);
std::optional<Message> decodeMessage(const std::string& line);

// No dissenter is consent; so is an answer that cannot be read.
std::string encodeAnswer(const std::optional<DiskDissenter>& dissenter);
std::optional<DiskDissenter> decodeAnswer(const std::string& line);

// A claim is a file named after the disk, holding its session's socket and
// process; a claim whose process is gone counts as released.
struct Claim {
    long pid = 0;
    std::string session; // the claimer's socket
};
std::string claimFile(const std::string& sysroot, const std::string& disk);
// Creates the claim; false when someone holds it already.
bool createClaim(const std::string& sysroot, const std::string& disk, const Claim& claim);
// The live claim of the disk; a stale one is removed on the way.
std::optional<Claim> currentClaim(const std::string& sysroot, const std::string& disk);
void removeClaim(const std::string& sysroot, const std::string& disk);

}
