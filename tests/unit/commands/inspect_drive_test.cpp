#include "app/frame.h"
#include "commands/inspect_drive.h"
#include "tests/support/fakes.h"
#include "tests/support/disk_fixtures.h"
#include "tests/support/expectations.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

CommandRun inspect(FakeToolRunner& tools, const std::string& identifier)
{
    MemoryFiles files;
    RecordingLog log;
    FakePaths paths;
    FakeWorkspace workspace;
    std::ostringstream out;
    std::ostringstream err;
    Platform platform {tools, out, files, log, paths, workspace};
    std::vector<std::string> words {"ferrolatch-proof", "inspect-drive", identifier};
    int status = runCommandLine(words, "/", platform, err);
    return {status, out.str(), err.str()};
}

}

TEST(InspectDriveCommand, PrintsTheRecordAndOneLineFeed)
{
    FakeToolRunner tools;
    tools.answer({"info", "-plist", "disk99"}, fixture("disk_info_disk99.plist"));
    CommandRun run = inspect(tools, "disk99");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, std::string(disk99InspectionJSON) + "\n");
}

TEST(InspectDriveCommand, RefusalsAreOneErrorLineAndNothingOnStandardOutput)
{
    FakeToolRunner tools;
    tools.answer({"info", "-plist", "disk99s1"}, fixture("disk_info_disk99.plist"));
    const std::pair<const char*, const char*> cases[] = {
        {"disk99s1", "ferrolatch-proof: whole disk must use the exact diskN identifier form\n"},
        {"disk5", "ferrolatch-proof: diskutil failed: Could not find disk: disk5\n"},
    };
    for (const auto& [identifier, error] : cases) {
        SCOPED_TRACE(identifier);
        CommandRun run = inspect(tools, identifier);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, error);
    }
}
