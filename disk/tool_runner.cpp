#include "disk/tool_runner.h"

#include "platform/errors.h"

#include <string_view>

namespace ferrolatch {

namespace {

bool isValidUTF8(std::string_view text)
{
    std::size_t index = 0;
    while (index < text.size()) {
        auto byte = static_cast<unsigned char>(text[index]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || index + length > text.size())
            return false;
        unsigned long codePoint = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t next = 1; next < length; ++next) {
            auto continuation = static_cast<unsigned char>(text[index + next]);
            if ((continuation & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (continuation & 0x3Fu);
        }
        static constexpr unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        index += length;
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blank = " \t\n\r\v\f";
    std::size_t first = text.find_first_not_of(blank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

std::string lastPathComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
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
