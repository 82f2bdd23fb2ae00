#pragma once

#include "common/secret_bytes.h"

#include <string>
#include <vector>

namespace ferrolatch {

// What a finished child process left behind.
struct ToolOutcome {
    int status = 0;            // exit status; 128 + signal number when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

// Child processes. Starts the executable at an absolute path with exactly these
// arguments (no shell, no search path), optionally feeding bytes to its stdin,
// and returns once the child has exited. A launch failure is a PlatformError;
// what a non-zero status means is up to the caller.
class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    virtual ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                               const SecretBytes* standardInput) = 0;
};

}
