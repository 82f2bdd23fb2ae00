#include "platform/macsim/macsim_local_channels.h"

#include "common/errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdlib.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace ferrolatch;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string service = "com.example.ferrolatch.test";

// A sysroot of its own; `deep` puts it far enough down that its sockets'
// paths no longer fit an address.
struct ChannelSysroot {
    explicit ChannelSysroot(bool deep = false)
    {
        std::string pattern = (fs::temp_directory_path() / "ferrolatch-channel-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        base = pattern;
        root = deep ? base + "/" + std::string(60, 'h') + "/.local/share/ferrolatch/virtual-mac" : base;
        fs::create_directories(root);
    }
    ~ChannelSysroot() { fs::remove_all(base); }
    std::string base;
    std::string root;
};

// Something a service keeps for a requester; it says when it is let go.
struct Kept {
    explicit Kept(std::atomic<int>& released) : m_released(released) {}
    ~Kept() { ++m_released; }
    std::atomic<int>& m_released;
};

bool eventually(const std::function<bool()>& condition)
{
    for (int attempt = 0; attempt < 500 && !condition(); ++attempt)
        std::this_thread::sleep_for(10ms);
    return condition();
}

}

TEST(MacsimLocalChannels, AServiceAnswersAndKeepsWhatItGaveUntilTheRequesterHangsUp)
{
    for (bool deep : {false, true}) {
        SCOPED_TRACE(deep ? "a sysroot deep in a home folder" : "a sysroot in the temporary folder");
        ChannelSysroot sysroot(deep);
        MacsimLocalChannels channels(sysroot.root, ::getuid());
        std::atomic<int> released = 0;
        auto offer = channels.offer(service, [&](std::string_view request) {
            return ChannelReply {"heard " + std::string(request), std::make_shared<Kept>(released), 60s};
        });
        ASSERT_TRUE(offer);
        struct stat folder {};
        ASSERT_EQ(::stat(MacsimLocalChannels::userDirectory(sysroot.root, ::getuid()).c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 0777, 0700u);

        auto connection = channels.connect(service);
        ASSERT_TRUE(connection);
        EXPECT_EQ(connection->request("hello", 5s), "heard hello");
        EXPECT_EQ(connection->request("again", 5s), "heard again");
        EXPECT_EQ(released, 0);
        connection.reset();
        EXPECT_TRUE(eventually([&] { return released == 2; }));
        EXPECT_FALSE(channels.connect("com.example.nobody"));
    }
}

TEST(MacsimLocalChannels, WhatIsKeptGoesWhenItsTimeIsUpOrTheServiceEnds)
{
    ChannelSysroot sysroot;
    MacsimLocalChannels channels(sysroot.root, ::getuid());
    std::atomic<int> released = 0;
    auto offer = channels.offer(service, [&](std::string_view request) {
        return ChannelReply {"ok", std::make_shared<Kept>(released), request == "brief" ? 100ms : 60s};
    });
    auto connection = channels.connect(service);
    ASSERT_EQ(connection->request("brief", 5s), "ok");
    ASSERT_EQ(connection->request("long", 5s), "ok");
    EXPECT_TRUE(eventually([&] { return released == 1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(released, 1);
    offer.reset();
    EXPECT_EQ(released, 2);
    EXPECT_EQ(connection->request("anyone?", 1s), std::nullopt);
}

// One live offer per service: a second is refused while the first lives (the
// lock is taken through a file description of its own, as another process's
// would be), and the place is free again once it is gone.
TEST(MacsimLocalChannels, OnlyOneProcessOffersAService)
{
    ChannelSysroot sysroot;
    MacsimLocalChannels channels(sysroot.root, ::getuid());
    auto answer = [](std::string_view) { return ChannelReply {"first", nullptr, {}}; };
    auto first = channels.offer(service, answer);
    ASSERT_TRUE(first);
    EXPECT_FALSE(channels.offer(service, answer));

    first.reset();
    auto second = channels.offer(service, [](std::string_view) { return ChannelReply {"second", nullptr, {}}; });
    ASSERT_TRUE(second);
    EXPECT_EQ(channels.connect(service)->request("who?", 5s), "second");
    EXPECT_THROW(channels.offer("../escape", answer), PlatformError);
}
