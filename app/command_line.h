#pragma once

#include "commands/command.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// An argument as the usage text names it, and how it is converted.
struct Parameter {
    std::string_view name;
    ArgumentKind kind = ArgumentKind::Text;
};

// How a handler meets the user interface.
enum class Interface {
    None,       // runs directly on the main thread
    Windows,    // runs inside the main-thread application context and may show windows
    Windowless, // belongs to the application context on a Mac but shows nothing, so it
                // runs directly and needs neither a display nor a script
};

struct Command {
    std::string_view word;
    std::vector<Parameter> arguments; // argc is arguments.size() + 2
    Interface ui = Interface::None;
    CommandHandler handler = nullptr;
    // The usage text lists the commands in the order of the table, except that
    // a command naming another here is listed right after that one.
    std::string_view usageAfter {};
};

// The commands, in the order of the table.
std::span<const Command> commandTable();

// The usage text of a table: one line per command with its argument names,
// each line ending with a line feed.
std::string usageText(std::span<const Command> table);
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
