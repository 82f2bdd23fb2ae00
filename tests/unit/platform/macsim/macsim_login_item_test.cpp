// The virtual Mac's login item over its state file.
#include "platform/macsim/login_item_store.h"

#include "common/errors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace ferrolatch;

namespace {

struct Sysroot {
    std::string root;
    Sysroot()
    {
        root = (std::filesystem::temp_directory_path() / ("login-item-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/private/var/db/macsim");
    }
    ~Sysroot() { std::filesystem::remove_all(root); }
    void write(const std::string& text) { std::ofstream(loginItemStateFile(root)) << text; }
};

TEST(MacsimLoginItem, RegistersUnlessWaitingForApprovalAndCountsEveryCall)
{
    Sysroot sysroot;
    MacsimLoginItem item(sysroot.root);
    EXPECT_EQ(item.status(), LoginItemStatus::NotRegistered);
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::Enabled);
    item.unregisterItem();
    EXPECT_EQ(item.status(), LoginItemStatus::NotRegistered);

    sysroot.write(R"({"status": 2})");
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::RequiresApproval);

    LoginItemFile file(sysroot.root);
    EXPECT_EQ(file.state().registerCalls, 1); // the counts began again with the file written above
    EXPECT_EQ(file.state().unregisterCalls, 0);
}

TEST(MacsimLoginItem, AQueuedFaultFailsOnceAndChangesNothing)
{
    Sysroot sysroot;
    {
        LoginItemFile file(sysroot.root);
        file.state().faults.push_back({"register", "SMAppServiceErrorDomain", 1, "Operation not permitted."});
        file.save();
    }
    MacsimLoginItem item(sysroot.root);
    try {
        item.registerItem();
        ADD_FAILURE() << "registered";
    } catch (const PlatformError& error) {
        EXPECT_TRUE(error.is("SMAppServiceErrorDomain", 1));
        EXPECT_STREQ(error.what(), "Operation not permitted.");
    }
    EXPECT_EQ(item.status(), LoginItemStatus::NotRegistered);
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::Enabled);
}

TEST(MacsimLoginItem, ReportsValuesItDoesNotKnowAndReadsDamageAsNotRegistered)
{
    Sysroot sysroot;
    MacsimLoginItem item(sysroot.root);
    sysroot.write(R"({"status": 9})");
    EXPECT_EQ(static_cast<std::int64_t>(item.status()), 9);
    sysroot.write("{\"status\": ");
    EXPECT_EQ(item.status(), LoginItemStatus::NotRegistered);
    EXPECT_EQ(loginItemStatusName(9), "unknown");
    EXPECT_EQ(loginItemStatusNamed("requiresApproval"), 2);
    EXPECT_EQ(loginItemStatusNamed("-3"), -3);
    EXPECT_EQ(loginItemStatusNamed("on"), std::nullopt);
    EXPECT_EQ(loginItemStatusNamed(""), std::nullopt);
}

}
