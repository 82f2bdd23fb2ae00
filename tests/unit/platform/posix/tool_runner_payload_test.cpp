#include "disk/system_tools.h"
#include "common/errors.h"
#include "platform/posix/posix_tool_runner.h"
#include "tests/support/script_directory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ferrolatch;

namespace {

std::string contentsOf(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

}

TEST(ToolRunnerPayload, ReachesAChildThatClosesItsOutputsBeforeReading)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string copy = directory.path() + "/received";
    // The child's outputs close before it reads a byte; the payload is
    // three times a pipe buffer.
    std::string tool = directory.script("late-reader", "exec >/dev/null 2>&1\nsleep 0.3\ncat > '" + copy + "'\n");
    std::string payload(200000, '\0');
    for (std::size_t index = 0; index < payload.size(); ++index)
        payload[index] = static_cast<char>('a' + index % 26);

    SecretBytes input = SecretBytes::copyOf(std::string_view(payload));
    PosixToolRunner runner;
    ToolOutcome outcome = runner.launch(tool, {}, &input);
    EXPECT_EQ(outcome.status, 0);
    std::string received = contentsOf(copy);
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
}

TEST(ToolRunnerPayload, AChildThatExitsUnreadAfterClosingItsOutputsEndsTheWrite)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string tool = directory.script("quitter", "exec >/dev/null 2>&1\nsleep 0.2\nexit 4\n");
    PosixToolRunner runner;
    SecretBytes large(1024 * 1024);
    ToolOutcome outcome = runner.launch(tool, {}, &large);
    EXPECT_EQ(outcome.status, 4);
}

TEST(ToolRunnerPayload, AChildThatExitsWhileItsDescendantHoldsTheInputEndsTheWrite)
{
    ferrolatch::testing::ScriptDirectory directory;
    // The descendant keeps the input open without reading; only the exit of
    // the tool itself says nobody will read the rest.
    std::string tool = directory.script("forker", "exec >/dev/null 2>&1\nsleep 3 <&0 &\nexit 5\n");
    PosixToolRunner runner;
    SecretBytes large(1024 * 1024);
    auto start = std::chrono::steady_clock::now();
    ToolOutcome outcome = runner.launch(tool, {}, &large);
    EXPECT_EQ(outcome.status, 5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ToolRunnerPayload, FailureTrimsUnicodeWhiteSpaceAroundStandardError)
{
    struct Case {
        const char* name;
        const char* around; // printf escapes placed before and after the message
    };
    // Foundation's white space and line breaks, beyond ASCII.
    const Case trimmedAway[] = {
        {"next-line U+0085", "\\302\\205"},
        {"no-break space U+00A0", "\\302\\240"},
        {"ogham space U+1680", "\\341\\232\\200"},
        {"en quad U+2000", "\\342\\200\\200"},
        {"hair space U+200A", "\\342\\200\\212"},
        {"line separator U+2028", "\\342\\200\\250"},
        {"paragraph separator U+2029", "\\342\\200\\251"},
        {"narrow no-break space U+202F", "\\342\\200\\257"},
        {"math space U+205F", "\\342\\201\\237"},
        {"ideographic space U+3000", "\\343\\200\\200"},
        {"mixed with ASCII", " \\t\\343\\200\\200\\r\\n\\302\\240\\v\\f"},
    };
    ferrolatch::testing::ScriptDirectory directory;
    PosixToolRunner runner;
    for (const Case& c : trimmedAway) {
        SCOPED_TRACE(c.name);
        std::string tool = directory.script("tool", std::string("printf '") + c.around + "Disk busy" + c.around
                                                        + "' >&2; exit 1\n");
        try {
            runTool(runner, tool, {});
            ADD_FAILURE() << "the tool's failure was not reported";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), "tool failed: Disk busy");
        }
    }

    // Not white space: zero width space U+200B and the byte-order mark U+FEFF
    // stay, as do spaces inside the message.
    std::string tool = directory.script("kept", "printf '\\342\\200\\213Disk \\302\\240busy\\357\\273\\277\\n' >&2; exit 1\n");
    try {
        runTool(runner, tool, {});
        ADD_FAILURE() << "the tool's failure was not reported";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "kept failed: \u200BDisk \u00A0busy\uFEFF");
    }
}
