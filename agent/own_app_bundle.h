#pragma once

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// Starts a new instance of the program's own application bundle with these
// arguments and waits for it to exit. The instance's standard error goes to
// a private file of the user's temporary directory; when it fails, the
// failure carries its own error line rather than open's.
void runInOwnAppBundle(ToolRunner& tools, Paths& paths, Files& files, const std::vector<std::string>& arguments);

// The error line a failed instance left on its standard error: the last line
// that is not empty, without the program's "ferrolatch-proof: " prefix. None
// when there is no such line or the text is not UTF-8.
std::optional<std::string> childErrorLine(std::string_view standardError);

}
