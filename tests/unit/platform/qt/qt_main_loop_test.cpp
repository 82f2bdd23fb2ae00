#include "platform/qt/qt_main_loop.h"

#include "tests/support/qt_test_support.h"

#include <QTimer>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ferrolatch;
using ferrolatch::testing::runInOffscreenQt;

namespace {

struct QtLoopTest : ::testing::Test {
    std::vector<std::string> events;
};

}

TEST_F(QtLoopTest, RunsTasksInPostingOrderIncludingTasksPostedFromOtherThreads)
{
    runInOffscreenQt([&](QtSession& session) {
        MainLoop& loop = session.loop;
        loop.post([&] { events.push_back("first"); });
        loop.post([&] {
            events.push_back("second");
            loop.post([&] { events.push_back("posted by a task"); });
        });
        std::atomic<int> fromThreads {0};
        std::vector<std::thread> threads;
        for (int index = 0; index < 4; ++index)
            threads.emplace_back([&] {
                for (int task = 0; task < 50; ++task)
                    loop.post([&] { ++fromThreads; });
            });
        for (std::thread& thread : threads)
            thread.join();
        loop.runUntil([&] { return fromThreads == 200 && events.size() == 3; });
        EXPECT_EQ(events, (std::vector<std::string> {"first", "second", "posted by a task"}));

        // A thread that posts while the loop sleeps wakes it.
        bool woken = false;
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            loop.post([&] { woken = true; });
        });
        loop.runUntil([&] { return woken; });
        late.join();
    });
}

TEST_F(QtLoopTest, StopEndsOnlyTheInnermostRunOnceTheTaskReturns)
{
    runInOffscreenQt([&](QtSession& session) {
        MainLoop& loop = session.loop;
        loop.post([&] {
            events.push_back("outer task");
            loop.post([&] {
                loop.stop();
                events.push_back("stopping task finished");
            });
            loop.post([&] { events.push_back("left for the outer run"); });
            loop.run();
            events.push_back("nested run returned");
            loop.stop();
        });
        loop.run();
        // The outer task's own stop ends the outer run before the queued task.
        EXPECT_EQ(events, (std::vector<std::string> {"outer task", "stopping task finished", "nested run returned"}));
        loop.runUntil([&] { return events.size() == 4; });
        EXPECT_EQ(events.back(), "left for the outer run");

        // A stop while no run is active makes the next run return at once.
        loop.stop();
        loop.run();
    });
}

TEST_F(QtLoopTest, StopFromAnotherThreadEndsTheRun)
{
    runInOffscreenQt([&](QtSession& session) {
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            session.loop.stop();
        });
        session.loop.run();
        stopper.join();
    });
}

TEST_F(QtLoopTest, RunUntilChecksAfterEveryTaskAndLeavesStopsForARun)
{
    runInOffscreenQt([&](QtSession& session) {
        MainLoop& loop = session.loop;
        int count = 0;
        for (int index = 0; index < 5; ++index)
            loop.post([&] { ++count; });
        loop.stop();
        loop.runUntil([&] { return count == 3; });
        EXPECT_EQ(count, 3);
        loop.runUntil([] { return true; }); // already true: returns without running a task
        EXPECT_EQ(count, 3);
        loop.run(); // the stop is still there
        EXPECT_EQ(count, 3);
        loop.runUntil([&] { return count == 5; });
    });
}

TEST_F(QtLoopTest, DelayedTasksRunAfterTheirDelayAndCancelledOnesNever)
{
    runInOffscreenQt([&](QtSession& session) {
        MainLoop& loop = session.loop;
        double start = loop.clock().now();
        double ranAt = 0;
        auto cancelled = loop.postAfter(0.02, [&] { events.push_back("cancelled"); });
        loop.postAfter(0.08, [&] {
            events.push_back("late");
            ranAt = loop.clock().now();
        }); // handle dropped: it still runs
        auto early = loop.postAfter(0.04, [&] { events.push_back("early"); });
        EXPECT_TRUE(cancelled->pending());
        cancelled->cancel();
        EXPECT_FALSE(cancelled->pending());
        cancelled->cancel(); // twice is harmless

        loop.runUntil([&] { return events.size() == 2; });
        EXPECT_EQ(events, (std::vector<std::string> {"early", "late"}));
        EXPECT_GE(ranAt - start, 0.08 - 0.001);
        EXPECT_FALSE(early->pending());
        early->cancel(); // after it ran: nothing happens

        // A cancel that comes after the timer expired but before the task's
        // turn still wins.
        bool ran = false;
        std::shared_ptr<DelayedTask> second;
        loop.postAfter(0, [&] { second->cancel(); });
        second = loop.postAfter(0, [&] { ran = true; });
        bool settled = false;
        loop.postAfter(0.03, [&] { settled = true; });
        loop.runUntil([&] { return settled; });
        EXPECT_FALSE(ran);
    });
}

TEST_F(QtLoopTest, DelayedTaskPostedFromAnotherThreadRuns)
{
    runInOffscreenQt([&](QtSession& session) {
        std::shared_ptr<DelayedTask> handle;
        std::atomic<bool> ran {false};
        std::thread poster([&] { handle = session.loop.postAfter(0.01, [&] { ran = true; }); });
        poster.join();
        session.loop.runUntil([&] { return ran.load(); });
        EXPECT_FALSE(handle->pending());
    });
}

TEST_F(QtLoopTest, TaskExceptionEndsTheRunWithItAndTheLoopStaysUsable)
{
    runInOffscreenQt([&](QtSession& session) {
        MainLoop& loop = session.loop;
        loop.post([] { throw std::runtime_error("boom"); });
        loop.post([&] { events.push_back("after"); });
        EXPECT_THROW(loop.run(), std::runtime_error);
        loop.post([&] { loop.stop(); });
        loop.run();
        EXPECT_EQ(events, std::vector<std::string> {"after"});
    });
}

TEST_F(QtLoopTest, QtTimersAndEventsKeepFlowingInsideANestedRun)
{
    runInOffscreenQt([&](QtSession& session) {
        bool qtTimerFired = false;
        QTimer::singleShot(10, [&] { qtTimerFired = true; });
        session.loop.post([&] {
            session.loop.runUntil([&] { return qtTimerFired && !events.empty(); });
            events.push_back("nested returned");
            session.loop.stop();
        });
        // The Qt timer changes no main-loop state by itself; a task posted
        // after it lets the nested run re-check its condition.
        QTimer::singleShot(20, [&] { session.loop.post([&] { events.push_back("after timer"); }); });
        session.loop.run();
        EXPECT_TRUE(qtTimerFired);
        EXPECT_EQ(events, (std::vector<std::string> {"after timer", "nested returned"}));
    });
}

TEST(QtLoopDeathTest, RunOffTheMainThreadStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runInOffscreenQt([](QtSession& session) {
        std::thread worker([&] { session.loop.run(); });
        worker.join();
    }),
                 "must run on the main thread");
}
