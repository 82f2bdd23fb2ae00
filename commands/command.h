#pragma once

#include <string>
#include <vector>

namespace ferrolatch {

struct Platform;

enum class ArgumentKind { Text, File, Directory };

struct CommandArgument {
    std::string value; // the text, or the normalised absolute path
    ArgumentKind kind = ArgumentKind::Text;
};

using CommandArguments = std::vector<CommandArgument>;

// A command's handler: prints its own result lines and returns, or throws.
using CommandHandler = void (*)(Platform&, const CommandArguments&);

}
