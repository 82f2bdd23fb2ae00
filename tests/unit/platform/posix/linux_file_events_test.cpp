#include "platform/headless/headless_main_loop.h"
#include "platform/posix/linux_file_events.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdlib.h>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

// A folder of its own and a loop to hear the changes on.
class FileEventsFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "ferrolatch-file-events-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    // Runs the loop until the count grows, or a few seconds pass; true when it
    // grew. One change may be told more than once, so the loop runs a little
    // longer to take in the rest of it.
    bool heard(int& count)
    {
        int before = count;
        bool late = false;
        auto limit = loop.postAfter(5, [&] { late = true; });
        loop.runUntil([&] { return count > before || late; });
        limit->cancel();
        bool grew = count > before;
        settle();
        return grew;
    }
    void settle()
    {
        bool done = false;
        loop.postAfter(0.1, [&] { done = true; });
        loop.runUntil([&] { return done; });
    }
    // Nothing arrives while nothing changes.
    bool quiet(int& count)
    {
        int before = count;
        bool done = false;
        loop.postAfter(0.3, [&] { done = true; });
        loop.runUntil([&] { return done; });
        return count == before;
    }

    std::string root;
    SystemClock clock;
    HeadlessMainLoop loop {clock};
};

}

TEST_F(FileEventsFolder, AFolderThatComesLaterIsFollowedThroughEveryChange)
{
    LinuxFileEvents events(loop);
    int changes = 0;
    std::string drives = root + "/Ferrolatch/Drives";
    events.observe(drives, [&] { ++changes; });
    EXPECT_TRUE(quiet(changes));

    fs::create_directories(root + "/Ferrolatch/Enrollments"); // on the way, but no Drives yet
    EXPECT_TRUE(quiet(changes));
    fs::create_directories(drives);
    EXPECT_TRUE(heard(changes));
    std::ofstream(drives + "/a.json") << "{}";
    EXPECT_TRUE(heard(changes));
    fs::rename(drives + "/a.json", drives + "/b.json");
    EXPECT_TRUE(heard(changes));
    fs::remove(drives + "/b.json");
    EXPECT_TRUE(heard(changes));

    // Replaced whole, the folder is followed anew.
    fs::remove_all(drives);
    EXPECT_TRUE(heard(changes));
    fs::create_directories(drives);
    EXPECT_TRUE(heard(changes));
    std::ofstream(drives + "/c.json") << "{}";
    EXPECT_TRUE(heard(changes));
}

TEST_F(FileEventsFolder, AFileIsFollowedWhenWrittenOrReplacedAndNotAfterwards)
{
    LinuxFileEvents events(loop);
    int agentChanges = 0;
    int neighbourChanges = 0;
    std::string agent = root + "/APFSUserAgent";
    std::ofstream(agent) << "old";
    auto token = events.observe(agent, [&] { ++agentChanges; });
    events.observe(root + "/neighbour", [&] { ++neighbourChanges; });

    std::ofstream(agent, std::ios::app) << " and more";
    EXPECT_TRUE(heard(agentChanges));
    std::ofstream(root + "/APFSUserAgent.new") << "new";
    EXPECT_TRUE(quiet(agentChanges));
    fs::rename(root + "/APFSUserAgent.new", agent);
    EXPECT_TRUE(heard(agentChanges));
    std::ofstream(agent, std::ios::app) << " again"; // the new file is the one watched
    EXPECT_TRUE(heard(agentChanges));
    EXPECT_EQ(neighbourChanges, 0);

    events.removeObserver(token);
    std::ofstream(agent, std::ios::app) << " unheard";
    EXPECT_TRUE(quiet(agentChanges));
}
