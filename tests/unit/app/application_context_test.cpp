#include "app/frame.h"
#include "common/errors.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ferrolatch;

TEST(ApplicationContext, InitialisesTheUserInterfaceOnceBeforeTheFirstHandler)
{
    std::vector<std::string> events;
    ApplicationContext context =
        mainThreadApplicationContext(std::this_thread::get_id(), [&] { events.push_back("initialise"); }, std::nullopt);
    context([&] { events.push_back("first"); });
    context([&] { events.push_back("second"); });
    EXPECT_EQ(events, (std::vector<std::string> {"initialise", "first", "second"}));
}

TEST(ApplicationContext, WithoutAUserInterfaceFailsAtOnceWithTheReason)
{
    bool initialised = false;
    bool ran = false;
    ApplicationContext context = mainThreadApplicationContext(
        std::this_thread::get_id(), [&] { initialised = true; }, std::string("no display is available"));
    try {
        context([&] { ran = true; });
        ADD_FAILURE() << "no error";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "no display is available");
    }
    EXPECT_FALSE(initialised);
    EXPECT_FALSE(ran);
}

TEST(ApplicationContextDeathTest, StopsTheProcessOffTheMainThread)
{
    ApplicationContext context = mainThreadApplicationContext(std::this_thread::get_id(), {}, std::nullopt);
    EXPECT_DEATH(
        {
            std::thread other([&] { context([] {}); });
            other.join();
        },
        "ran off the main thread");
}
