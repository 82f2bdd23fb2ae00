#pragma once

#include "commands/command.h"
#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string_view>

namespace ferrolatch {

// What the self-test reaches: the file system for its temporary receipt and
// the system's APFS agent, and two of the operations it checks, which tests
// replace with faulty ones to prove the checks catch them.
struct SelfTestServices {
    Files& files;
    Paths& paths;
    std::ostream& out;
    std::function<SecretBytes(std::span<const std::uint8_t> combined, const SecretBytes& key,
                              std::span<const std::uint8_t> associatedData)>
        openPassword;
    std::function<void(std::string_view name)> validateVolumeName;
};

SelfTestServices selfTestServices(Files& files, Paths& paths, std::ostream& out);

// Runs every check in order and prints "CRYPTOGRAPHIC SELF-TEST PASSED", or
// fails with the first failing check's message. Its temporary directory is
// removed whatever happens.
void runSelfTest(const SelfTestServices& services);

void selfTestCommand(Platform& platform, const CommandArguments& arguments);

}
