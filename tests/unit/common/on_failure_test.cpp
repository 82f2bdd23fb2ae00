#include "common/on_failure.h"

#include "common/errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace ferrolatch;

TEST(OnFailure, CleansUpOnlyWhenTheScopeIsLeftByAnError)
{
    std::vector<std::string> events;
    auto run = [&](bool fail, bool dismiss) {
        auto relock = onFailure([&] { events.push_back("relock"); });
        events.push_back("work");
        if (fail)
            throw ProofError("mount failed");
        if (dismiss)
            relock.dismiss();
    };

    run(false, true);
    run(false, false); // a normal exit is not a failure, dismissed or not
    EXPECT_EQ(events, (std::vector<std::string> {"work", "work"}));

    EXPECT_THROW(run(true, false), ProofError);
    EXPECT_EQ(events, (std::vector<std::string> {"work", "work", "work", "relock"}));
}

TEST(OnFailure, TheFirstErrorTravelsWhenTheCleanupFailsToo)
{
    try {
        auto relock = onFailure([] { throw PlatformError("NSPOSIXErrorDomain", 5, "lock failed"); });
        throw ProofError("mount failed");
    } catch (const ProofError& error) {
        EXPECT_EQ(std::string(error.what()), "mount failed");
    }
}

TEST(OnFailure, AGuardMadeWhileAnErrorUnwindsWatchesOnlyItsOwnScope)
{
    // Cleanup that runs during unwinding may itself guard work that succeeds.
    bool innerCleanup = false;
    struct Unwinding {
        bool& innerCleanup;
        ~Unwinding()
        {
            auto inner = onFailure([this] { innerCleanup = true; });
        }
    };
    EXPECT_THROW(
        {
            Unwinding unwinding {innerCleanup};
            throw ProofError("first");
        },
        ProofError);
    EXPECT_FALSE(innerCleanup);
}

TEST(OnFailure, DisregardingFailureSwallowsAnyError)
{
    bool ran = false;
    disregardingFailure([&] {
        ran = true;
        throw std::runtime_error("open failed");
    });
    EXPECT_TRUE(ran);
}

TEST(AtScopeExit, CleansUpOnEveryWayOutUnlessDismissed)
{
    std::vector<std::string> events;
    auto run = [&](bool fail, bool dismiss) {
        auto restore = atScopeExit([&] { events.push_back("restore"); });
        events.push_back("work");
        if (fail)
            throw ProofError("scan failed");
        if (dismiss)
            restore.dismiss();
    };
    run(false, false);
    EXPECT_THROW(run(true, false), ProofError);
    run(false, true);
    EXPECT_EQ(events, (std::vector<std::string> {"work", "restore", "work", "restore", "work"}));

    // Its own failure changes neither a normal exit nor the error in flight.
    EXPECT_NO_THROW({ auto failing = atScopeExit([] { throw ProofError("cleanup failed"); }); });
    try {
        auto failing = atScopeExit([] { throw ProofError("cleanup failed"); });
        throw ProofError("first");
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "first");
    }
}
