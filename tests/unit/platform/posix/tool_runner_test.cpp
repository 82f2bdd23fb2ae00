#include "disk/system_tools.h"
#include "common/errors.h"
#include "platform/posix/posix_tool_runner.h"
#include "tests/support/script_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ferrolatch;
using ::testing::HasSubstr;

namespace {

std::size_t openDescriptorCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::string proofErrorText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ProofError& error) {
        return error.what();
    }
    return "(no ProofError)";
}

}

TEST(ToolRunner, ReturnsStandardOutputOfASuccessfulRun)
{
    PosixToolRunner runner;
    EXPECT_EQ(runTool(runner, "/bin/sync", {}), "");
    EXPECT_EQ(runTool(runner, "/bin/echo", {"a", "b"}), "a b\n");
}

TEST(ToolRunner, FailureNamesTheToolAndItsTrimmedStandardError)
{
    ferrolatch::testing::ScriptDirectory directory;
    struct Case {
        const char* name;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"diskutil", "printf 'Could not find disk: disk9\\n' >&2; exit 1", "diskutil failed: Could not find disk: disk9"},
        {"blank-lines", "printf '\\n\\nBoom\\n' >&2; exit 1", "blank-lines failed: Boom"},
        {"silent", "exit 3", "silent failed: "},
        {"not-utf8", "printf 'bad \\377 byte\\n' >&2; exit 1", "not-utf8 failed: unknown error"},
        {"killed", "kill -9 $$", "killed failed: "},
        {"stdout-ignored", "echo out; echo ' err ' >&2; exit 2", "stdout-ignored failed: err"},
    };
    PosixToolRunner runner;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string tool = directory.script(c.name, c.body);
        EXPECT_EQ(proofErrorText([&] { runTool(runner, tool, {}); }), c.expected);
    }
}

TEST(ToolRunner, LaunchFailureIsThePlatformErrorNotAToolFailure)
{
    PosixToolRunner runner;
    try {
        runTool(runner, "/nonexistent/diskutil", {"list"});
        FAIL() << "launch should fail";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), posixErrorDomain);
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_THAT(error.what(), HasSubstr("No such file or directory"));
        EXPECT_THAT(error.what(), ::testing::Not(HasSubstr(" failed: ")));
    }

    ferrolatch::testing::ScriptDirectory directory;
    std::string notExecutable = directory.path() + "/plain";
    std::ofstream(notExecutable) << "data";
    EXPECT_THROW(runTool(runner, notExecutable, {}), PlatformError);
}

TEST(ToolRunner, PasswordOnStandardInputArrivesWithoutItsLineFeed)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string tool = directory.script("reader", "IFS= read -r line; printf '[%s]' \"$line\"");
    PosixToolRunner runner;
    SecretBytes password = SecretBytes::copyOf(std::string_view("s3cr3t-Pass_word"));
    EXPECT_EQ(runTool(runner, tool, {}, password.withLineFeed()), "[s3cr3t-Pass_word]");
}

TEST(ToolRunner, ArgumentsReachTheChildUnchangedOneWordEach)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string tool = directory.script("args", "for a in \"$@\"; do printf '<%s>' \"$a\"; done");
    PosixToolRunner runner;
    std::vector<std::string> arguments {"two words", "$(rm -rf /)", "a;b|c&d", "'\"`", "", "*"};
    EXPECT_EQ(runTool(runner, tool, arguments), "<two words><$(rm -rf /)><a;b|c&d><'\"`><><*>");
}

TEST(ToolRunner, DrainsMegabytesOnBothStreamsAtOnce)
{
    ferrolatch::testing::ScriptDirectory directory;
    // 4 MiB on stdout and on stderr, interleaved, far beyond a pipe buffer.
    std::string tool = directory.script("chatty",
        "head -c 4194304 /dev/zero | tr '\\0' o &\n"
        "head -c 4194304 /dev/zero | tr '\\0' e >&2\n"
        "wait\n");
    PosixToolRunner runner;
    ToolOutcome outcome = runner.launch(tool, {}, nullptr);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.standardOutput.size(), 4194304u);
    EXPECT_EQ(outcome.standardError.size(), 4194304u);
    EXPECT_EQ(outcome.standardOutput.find_first_not_of('o'), std::string::npos);
}

TEST(ToolRunner, ChildThatIgnoresItsInputNeitherBlocksNorKillsUs)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string tool = directory.script("deaf", "exit 0");
    PosixToolRunner runner;
    SecretBytes large(8 * 1024 * 1024); // far beyond a pipe buffer: the write meets a closed pipe
    EXPECT_EQ(runTool(runner, tool, {}, large), "");
}

TEST(ToolRunner, LeavesNoDescriptorOrChildBehind)
{
    ferrolatch::testing::ScriptDirectory directory;
    std::string failing = directory.script("failing", "echo no >&2; exit 1");
    PosixToolRunner runner;
    std::size_t before = openDescriptorCount();
    for (int round = 0; round < 20; ++round) {
        runTool(runner, "/bin/sync", {});
        runTool(runner, "/bin/cat", {}, SecretBytes::copyOf(std::string_view("x\n")));
        EXPECT_THROW(runTool(runner, failing, {}), ProofError);
        EXPECT_THROW(runTool(runner, "/nonexistent", {}), PlatformError);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // no child left to reap
    EXPECT_EQ(errno, ECHILD);
}

TEST(ToolRunner, MapsOnlyTheNamedPathsUnderTheSysroot)
{
    ferrolatch::testing::ScriptDirectory sysroot;
    std::filesystem::create_directories(sysroot.path() + "/usr/sbin");
    std::string standIn = sysroot.path() + "/usr/sbin/diskutil";
    std::ofstream(standIn) << "#!/bin/sh\necho stand-in\n";
    chmod(standIn.c_str(), 0755);

    PosixToolRunner runner(sysroot.path(), {"/usr/sbin/diskutil"});
    EXPECT_EQ(runTool(runner, "/usr/sbin/diskutil", {}), "stand-in\n");
    EXPECT_EQ(runTool(runner, "/bin/echo", {"host"}), "host\n");
}
