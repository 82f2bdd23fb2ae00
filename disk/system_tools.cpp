#include "disk/system_tools.h"

#include "common/path_text.h"
#include "common/utf8.h"
#include "common/errors.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace ferrolatch {

namespace {

// White space and line breaks as Foundation counts them: tab, the line
// breaks, NEL and every space or line/paragraph separator in Unicode.
bool isWhiteSpace(char32_t c)
{
    return c == U' ' || (c >= U'\t' && c <= U'\r') || c == U'\u0085' || c == U'\u00A0' || c == U'\u1680'
        || (c >= U'\u2000' && c <= U'\u200A') || c == U'\u2028' || c == U'\u2029' || c == U'\u202F'
        || c == U'\u205F' || c == U'\u3000';
}

// `text` is valid UTF-8.
std::string_view trimmed(std::string_view text)
{
    std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::size_t first = 0;
    while (first < bytes.size()) {
        std::size_t next = first;
        if (!isWhiteSpace(*decodeUTF8CodePoint(bytes, next)))
            break;
        first = next;
    }
    std::size_t end = bytes.size();
    while (end > first) {
        std::size_t start = end - 1;
        while ((bytes[start] & 0xC0) == 0x80)
            --start;
        std::size_t at = start;
        if (!isWhiteSpace(*decodeUTF8CodePoint(bytes, at)))
            break;
        end = start;
    }
    return text.substr(first, end - first);
}

}

std::string finishTool(const std::string& executable, ToolOutcome outcome)
{
    if (outcome.status == 0)
        return std::move(outcome.standardOutput);
    std::string_view reason = isValidUTF8(outcome.standardError) ? trimmed(outcome.standardError) : "unknown error";
    throw ProofError(lastPathComponent(executable) + " failed: " + std::string(reason));
}

std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments)
{
    return finishTool(executable, runner.launch(executable, arguments, nullptr));
}

std::string runTool(ToolRunner& runner, const std::string& executable, const std::vector<std::string>& arguments,
                    const SecretBytes& standardInput)
{
    return finishTool(executable, runner.launch(executable, arguments, &standardInput));
}

}
