#include "disk/system_tools.h"

#include "common/path_text.h"
#include "common/utf8.h"
#include "common/errors.h"

#include <string_view>

namespace ferrolatch {

namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blank = " \t\n\r\v\f";
    std::size_t first = text.find_first_not_of(blank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

std::string finish(const std::string& executable, ToolOutcome outcome)
{
    if (outcome.status == 0)
        return std::move(outcome.standardOutput);
    std::string_view reason = isValidUTF8(outcome.standardError) ? trimmed(outcome.standardError) : "unknown error";
    throw ProofError(lastPathComponent(executable) + " failed: " + std::string(reason));
}

}

std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments)
{
    return finish(executable, runner.launch(executable, arguments, nullptr));
}

std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments,
                    const SecretBytes& standardInput)
{
    return finish(executable, runner.launch(executable, arguments, &standardInput));
}

}
