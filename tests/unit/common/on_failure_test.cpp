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
