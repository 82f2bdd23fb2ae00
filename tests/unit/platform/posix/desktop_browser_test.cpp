// Handing a URL to the desktop's opener: exactly the URL, as one argument,
// never read by a shell.
#include "platform/posix/desktop_browser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace ferrolatch;

namespace {

struct FakeOpener {
    std::string directory;
    std::string received;
    std::string oldPath;
    FakeOpener()
    {
        directory = (std::filesystem::temp_directory_path() / ("opener-" + std::to_string(getpid()))).string();
        std::filesystem::create_directories(directory);
        received = directory + "/received";
        std::ofstream(directory + "/xdg-open") << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"" << received
                                               << ".part\" && mv \"" << received << ".part\" \"" << received << "\"\n";
        std::filesystem::permissions(directory + "/xdg-open", std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        oldPath = path ? path : "";
        setenv("PATH", (directory + ":" + oldPath).c_str(), 1);
    }
    ~FakeOpener()
    {
        setenv("PATH", oldPath.c_str(), 1);
        std::filesystem::remove_all(directory);
    }
    std::string waitForArguments() const
    {
        for (int attempt = 0; attempt < 500 && !std::filesystem::exists(received); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream stream(received);
        std::ostringstream text;
        text << stream.rdbuf();
        return text.str();
    }
};

TEST(DesktopOpener, PassesTheURLAsOneUninterpretedArgument)
{
    FakeOpener opener;
    std::string url = "https://ferrolatch.example/updates?version=1&x=$(touch pwned)`id` \"quoted\"";
    EXPECT_TRUE(openWithDesktopOpener(url));
    EXPECT_EQ(opener.waitForArguments(), "1|" + url);
    EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST(DesktopOpener, RefusesWhatIsNotAnAbsoluteURL)
{
    FakeOpener opener;
    for (const char* text : {"", "--help", "-https://x", "ferrolatch.example", ":x", "https://x\n--y", "1http://x"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(openWithDesktopOpener(text));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(opener.received));
}

}
