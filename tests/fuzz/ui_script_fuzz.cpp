// The automation script comes from the environment: any text either parses or
// fails with a ProofError, never anything else.
#include "common/errors.h"
#include "platform/headless/ui_script.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        auto answers = parseUiScript(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const ScriptedAnswer& answer : answers)
            if (answer.button.has_value() == answer.dismiss)
                std::abort();
    } catch (const ProofError&) {
    }
    try {
        UiScript script = parseUiScriptSetting(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const ScriptedAnswer& answer : script.answers)
            if (answer.button.has_value() == answer.dismiss)
                std::abort();
    } catch (const ProofError&) {
    }
    return 0;
}
