#pragma once

#include "common/secret_bytes.h"
#include "platform/tool_runner.h"

#include <string>
#include <vector>

namespace ferrolatch {

// The fixed locations of the system tools the program runs.
namespace tools {
inline constexpr const char* diskutil = "/usr/sbin/diskutil";
inline constexpr const char* hdiutil = "/usr/bin/hdiutil";
inline constexpr const char* sync = "/bin/sync";
inline constexpr const char* ditto = "/usr/bin/ditto";
inline constexpr const char* open = "/usr/bin/open";
inline constexpr const char* pgrep = "/usr/bin/pgrep";
inline constexpr const char* killall = "/usr/bin/killall";
}

// Runs a system tool and returns its standard output. A non-zero exit fails with
// "<tool> failed: <trimmed stderr>"; a launch failure passes up unchanged.
std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments);

// The standard output of a finished run, or the failure runTool reports for it.
std::string finishTool(const std::string& executable, ToolOutcome outcome);

// The same, with the given bytes on the child's standard input. Callers pass a
// password already followed by its line feed (SecretBytes::withLineFeed).
std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments,
                    const SecretBytes& standardInput);

}
