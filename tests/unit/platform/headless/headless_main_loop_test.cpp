#include "platform/headless/headless_main_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace ferrolatch;

namespace {

struct LoopFixture : ::testing::Test {
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    std::vector<std::string> events;
};

}

TEST_F(LoopFixture, RunsPostedTasksAndTimersInOrderOnVirtualTime)
{
    double start = clock.now();
    loop.postAfter(300.0, [&] { events.push_back("late"); loop.stop(); });
    loop.postAfter(0.5, [&] { events.push_back("half"); });
    loop.postAfter(0.5, [&] { events.push_back("half-second-posted"); });
    loop.post([&] { events.push_back("first"); });
    loop.post([&] { events.push_back("second"); });
    loop.run();
    EXPECT_EQ(events, (std::vector<std::string> {"first", "second", "half", "half-second-posted", "late"}));
    EXPECT_DOUBLE_EQ(clock.now(), start + 300.0);
}

TEST_F(LoopFixture, CancelledTimerNeverRunsAndReportsNotPending)
{
    auto cancelled = loop.postAfter(1.0, [&] { events.push_back("cancelled"); });
    auto kept = loop.postAfter(2.0, [&] { events.push_back("kept"); loop.stop(); });
    EXPECT_TRUE(cancelled->pending());
    cancelled->cancel();
    EXPECT_FALSE(cancelled->pending());
    loop.run();
    EXPECT_EQ(events, std::vector<std::string> {"kept"});
    EXPECT_FALSE(kept->pending());
}

TEST_F(LoopFixture, StopEndsOnlyTheInnermostRunAndIsNotLost)
{
    loop.post([&] {
        events.push_back("outer task");
        loop.post([&] { loop.stop(); });
        loop.run(); // nested, as a modal alert runs it
        events.push_back("nested run returned");
        loop.stop();
    });
    loop.run();
    EXPECT_EQ(events, (std::vector<std::string> {"outer task", "nested run returned"}));

    // A stop that arrives while no run is active makes the next run return at once.
    loop.stop();
    loop.run();
}

TEST_F(LoopFixture, RunUntilChecksAfterEveryTaskAndLeavesStopsAlone)
{
    int count = 0;
    for (int index = 0; index < 5; ++index)
        loop.post([&] { ++count; });
    loop.runUntil([&] { return count == 3; });
    EXPECT_EQ(count, 3);
    loop.stop();
    loop.run(); // the stop is still there for a run
    EXPECT_EQ(count, 3);
}

TEST_F(LoopFixture, ExceptionFromTaskLeavesTheLoopUsable)
{
    loop.post([] { throw std::runtime_error("boom"); });
    EXPECT_THROW(loop.run(), std::runtime_error);
    loop.post([&] { events.push_back("after"); loop.stop(); });
    loop.run();
    EXPECT_EQ(events, std::vector<std::string> {"after"});
}

TEST(HeadlessMainLoop, PostFromAnotherThreadWakesAWaitingLoop)
{
    SystemClock clock;
    HeadlessMainLoop loop(clock);
    bool ran = false;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop.post([&] { ran = true; loop.stop(); });
    });
    loop.run();
    other.join();
    EXPECT_TRUE(ran);
}

TEST(HeadlessMainLoop, RealTimersWaitTheirDelay)
{
    SystemClock clock;
    HeadlessMainLoop loop(clock);
    double start = clock.now();
    loop.postAfter(0.05, [&] { loop.stop(); });
    loop.run();
    EXPECT_GE(clock.now() - start, 0.05);
}
