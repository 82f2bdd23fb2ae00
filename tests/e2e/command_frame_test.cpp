#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <unistd.h>

using namespace ferrolatch::e2e;

namespace {

const std::string usage =
    "usage:\n"
    "  ferrolatch-proof enroll IMAGE MANIFEST\n"
    "  ferrolatch-proof unlock IMAGE MANIFEST\n"
    "  ferrolatch-proof native-enroll IMAGE MANIFEST\n"
    "  ferrolatch-proof native-unlock IMAGE MANIFEST\n"
    "  ferrolatch-proof native-enroll-bundle CREDENTIAL_MANIFEST BUNDLE MANIFEST SIZE VOLUME_NAME\n"
    "  ferrolatch-proof native-unlock-bundle BUNDLE MANIFEST\n"
    "  ferrolatch-proof native-mount-bundle BUNDLE MANIFEST\n"
    "  ferrolatch-proof setup-drive\n"
    "  ferrolatch-proof init-drive WHOLE_DISK CONFIRMATION_TOKEN DATA_NAME MANIFEST\n"
    "  ferrolatch-proof native-unlock-volume MANIFEST\n"
    "  ferrolatch-proof mount-drive MANIFEST\n"
    "  ferrolatch-proof lock-drive MANIFEST\n"
    "  ferrolatch-proof restore-drive MANIFEST SOURCE_DIR SHA256_RECEIPT\n"
    "  ferrolatch-proof native-share-recovery MANIFEST\n"
    "  ferrolatch-proof native-copy-recovery MANIFEST\n"
    "  ferrolatch-proof native-passwords-recovery MANIFEST\n"
    "  ferrolatch-proof native-offline-recovery MANIFEST\n"
    "  ferrolatch-proof enroll-volume CONTAINER NAME CREDENTIAL_MANIFEST VOLUME_MANIFEST\n"
    "  ferrolatch-proof unlock-volume VOLUME_MANIFEST\n"
    "  ferrolatch-proof store-recovery VOLUME_MANIFEST\n"
    "  ferrolatch-proof share-recovery VOLUME_MANIFEST\n"
    "  ferrolatch-proof copy-recovery VOLUME_MANIFEST\n"
    "  ferrolatch-proof inspect-drive WHOLE_DISK\n"
    "  ferrolatch-proof agent-enable\n"
    "  ferrolatch-proof agent-disable\n"
    "  ferrolatch-proof agent-status\n"
    "  ferrolatch-proof about\n"
    "  ferrolatch-proof self-test\n"
    "  ferrolatch-proof forget-drive VOLUME_UUID\n";

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
};

const UsageCase usageCases[] = {
    {"missing manifest", {"lock-drive"}},
    {"one word too many", {"lock-drive", "a", "b"}},
    {"upper case", {"LOCK-DRIVE", "m.json"}},
    {"no hyphen", {"lockdrive", "m.json"}},
    {"self-test with a word", {"self-test", "x"}},
    {"unknown word", {"frobnicate"}},
    {"empty word", {""}},
    {"init-drive short of one", {"init-drive", "disk4", "ERASE-disk4-0000000000000000", "PRIVATE"}},
};

}

TEST(CommandFrame, PrintsExactlyTheUsageTextForEveryWrongCommandLine)
{
    for (const auto& c : usageCases) {
        SCOPED_TRACE(c.name);
        RunResult result = run(ferrolatchExecutable(), c.arguments);
        EXPECT_EQ(result.status, 64);
        EXPECT_EQ(result.err, usage);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandFrame, ReportsAFailureAsOneLineAndExitOne)
{
    // Whatever the reason, a failure is one line with the fixed prefix and exit status 1.
    RunResult result = run(ferrolatchExecutable(), {"lock-drive", "/nonexistent/manifest.json"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.rfind("ferrolatch-proof: ", 0), 0u);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    EXPECT_EQ(result.err.back(), '\n');
}

TEST(CommandFrame, ProgramNameIsFixedWhateverTheExecutableIsCalled)
{
    std::string directory = std::filesystem::temp_directory_path() / "ferrolatch-frame-XXXXXX";
    ASSERT_NE(mkdtemp(directory.data()), nullptr);
    std::string renamed = directory + "/other-name";
    std::filesystem::create_symlink(ferrolatchExecutable(), renamed);

    RunResult wrongLine = run(renamed, {"lock-drive"});
    RunResult failure = run(renamed, {"lock-drive", "/nonexistent/manifest.json"});
    std::filesystem::remove_all(directory);

    EXPECT_EQ(wrongLine.err, usage);
    EXPECT_EQ(failure.err.rfind("ferrolatch-proof: ", 0), 0u);
}

TEST(CommandFrame, PathArgumentsReachTheHandlerAbsoluteAndLexicallyNormalised)
{
    std::string pattern = std::filesystem::temp_directory_path() / "ferrolatch-frame-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string directory = std::filesystem::canonical(pattern);

    // The reader's error names the location the handler was given; m.json does not exist.
    VirtualMac mac;
    const std::string expected = "ferrolatch-proof: could not read " + directory + "/m.json: No such file or directory\n";
    for (const std::string& argument : {std::string("x/../m.json"), directory + "/./d/../m.json"}) {
        SCOPED_TRACE(argument);
        RunResult result = run("/bin/sh", {"-c", "cd \"$1\" && exec \"$2\" lock-drive \"$3\"", "sh", directory,
                                           ferrolatchExecutable(), argument},
                               mac.environment());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.out, "");
    }
    std::filesystem::remove_all(directory);
}

TEST(CommandFrame, AnUnreachableDisplayIsOneLineNotACrash)
{
    // A display is named but nothing answers there: the windowing toolkit
    // cannot start, and the command says so the program's way.
    VirtualMac mac;
    RunResult result = run("/usr/bin/env", {"-u", "FERROLATCH_UI_SCRIPT", "-u", "WAYLAND_DISPLAY", "-u",
                                            "QT_QPA_PLATFORM", "DISPLAY=:4711", "FERROLATCH_SYSROOT=" + mac.sysroot(),
                                            ferrolatchExecutable(), "native-unlock-volume",
                                            "/nonexistent/manifest.json"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("ferrolatch-proof: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}
