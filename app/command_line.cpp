#include "app/command_line.h"

#include "common/path_text.h"

#include <algorithm>
#include <vector>

namespace ferrolatch {

namespace {

void addUsageLine(std::string& text, const Command& command)
{
    text += "  ferrolatch-proof ";
    text += command.word;
    for (const Parameter& argument : command.arguments) {
        text += ' ';
        text += argument.name;
    }
    text += '\n';
}

// Lists command, then (recursively) the commands that ask to follow it.
void addUsageLines(std::string& text, std::span<const Command> table, const Command& command)
{
    addUsageLine(text, command);
    for (const Command& follower : table)
        if (follower.usageAfter == command.word)
            addUsageLines(text, table, follower);
}

}

std::string usageText(std::span<const Command> table)
{
    auto inTable = [&](std::string_view word) {
        return std::any_of(table.begin(), table.end(), [&](const Command& command) { return command.word == word; });
    };
    std::string text = "usage:\n";
    for (const Command& command : table)
        if (!inTable(command.usageAfter)) // a follower of nothing keeps its place rather than vanish
            addUsageLines(text, table, command);
    return text;
}

std::string usageText()
{
    return usageText(commandTable());
}

std::string normalizedAbsolutePath(std::string_view path, std::string_view workingDirectory)
{
    std::string joined;
    if (path.empty() || path.front() != '/') {
        joined = workingDirectory;
        joined += '/';
    }
    joined += path;
    return lexicallyNormalizedPath(joined);
}

Invocation parseCommandLine(std::span<const std::string> words, std::string_view workingDirectory)
{
    if (words.size() == 1)
        return {Invocation::Kind::Agent, nullptr, {}, {}};
    if (words.size() < 2)
        return {};

    for (const Command& command : commandTable()) {
        if (command.word != words[1])
            continue;
        if (words.size() != command.arguments.size() + 2)
            return {};
        Invocation invocation {Invocation::Kind::Command, &command, {}, {}};
        for (std::size_t index = 0; index < command.arguments.size(); ++index) {
            ArgumentKind kind = command.arguments[index].kind;
            const std::string& word = words[index + 2];
            if (kind != ArgumentKind::Text && workingDirectory.empty() && !word.starts_with('/')
                && invocation.argumentError.empty())
                invocation.argumentError = "cannot resolve the relative path " + word
                    + " because the current directory cannot be determined";
            invocation.arguments.push_back(
                {kind == ArgumentKind::Text ? word : normalizedAbsolutePath(word, workingDirectory), kind});
        }
        return invocation;
    }
    return {};
}

}
