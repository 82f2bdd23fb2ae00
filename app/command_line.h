#pragma once

#include "commands/command.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

struct Command {
    std::string_view word;
    std::vector<ArgumentKind> arguments; // argc is arguments.size() + 2
    bool ui = false;                     // runs inside the main-thread application context
    CommandHandler handler = nullptr;
};

// The 28 commands, in the order of the table.
std::span<const Command> commandTable();

// The usage text, each line ending with a line feed.
std::string usageText();

// What a command line asks for: the agent, a command with converted arguments,
// or the usage text.
struct Invocation {
    enum class Kind { Agent, Command, Usage } kind = Kind::Usage;
    const Command* command = nullptr;
    CommandArguments arguments;
    // Set when a relative path cannot be made absolute: the command must not run.
    std::string argumentError;
};

// An empty workingDirectory means it could not be determined: a relative path
// argument then fails instead of silently resolving against some other folder.
Invocation parseCommandLine(std::span<const std::string> words, std::string_view workingDirectory);

// An absolute, lexically normalised path: relative to workingDirectory when not
// absolute, "." dropped, each ".." removing the component before it. Symbolic
// links are not resolved and nothing needs to exist.
std::string normalizedAbsolutePath(std::string_view path, std::string_view workingDirectory);

}
