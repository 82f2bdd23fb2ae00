// Finder's record of the extension on a virtual Mac, as the extension, the
// agent and the control tool share it.
#include "platform/macsim/finder_sync_store.h"

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
        root = (std::filesystem::temp_directory_path() / ("finder-sync-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/private/var/db/macsim");
        std::filesystem::create_directories(root + "/private/var/run/macsim");
    }
    ~Sysroot() { std::filesystem::remove_all(root); }
    void write(const std::string& text) { std::ofstream(finderSyncStateFile(root)) << text; }
};

TEST(MacsimFinderSync, StartsDisabledWithNoFoldersAndKeepsWhatIsSet)
{
    Sysroot sysroot;
    MacsimFinderSyncController controller(sysroot.root);
    EXPECT_FALSE(controller.isExtensionEnabled());
    EXPECT_EQ(controller.directoryURLs(), std::nullopt);

    controller.setDirectoryURLs({});
    EXPECT_EQ(controller.directoryURLs(), std::set<std::string> {});
    controller.setDirectoryURLs({"/v/Volumes/B", "/v/Volumes/A"});
    EXPECT_EQ(controller.directoryURLs(), (std::set<std::string> {"/v/Volumes/A", "/v/Volumes/B"}));

    controller.showExtensionManagementInterface();
    controller.showExtensionManagementInterface();
    {
        FinderSyncFile file(sysroot.root);
        EXPECT_EQ(file.state().settingsShown, 2);
        file.state().extensionEnabled = true;
        file.save();
    }
    EXPECT_TRUE(controller.isExtensionEnabled());
}

TEST(MacsimFinderSync, ADamagedRecordReadsAsAnExtensionFinderKnowsNothingOf)
{
    for (const char* text : {"", "{", "[]", R"({"extensionEnabled": "yes", "directoryURLs": 3, "settingsShown": 1.5})"}) {
        SCOPED_TRACE(text);
        Sysroot sysroot;
        sysroot.write(text);
        MacsimFinderSyncController controller(sysroot.root);
        EXPECT_FALSE(controller.isExtensionEnabled());
        EXPECT_EQ(controller.directoryURLs(), std::nullopt);
    }
}

TEST(MacsimFinderSync, WithoutAVirtualMacNothingIsEnabledAndNothingCanBeSet)
{
    MacsimFinderSyncController controller("/nonexistent/sysroot");
    EXPECT_FALSE(controller.isExtensionEnabled());
    EXPECT_EQ(controller.directoryURLs(), std::nullopt);
    EXPECT_THROW(controller.setDirectoryURLs({}), PlatformError);
    EXPECT_THROW(controller.showExtensionManagementInterface(), PlatformError);
}

TEST(MacsimFinderSync, AnExtensionChecksOutOnlyItsOwnRecord)
{
    Sysroot sysroot;
    checkInFinderExtension(sysroot.root, 41);
    checkOutFinderExtension(sysroot.root, 40); // an older one, ending late
    EXPECT_TRUE(std::filesystem::exists(finderExtensionPidFile(sysroot.root)));
    checkOutFinderExtension(sysroot.root, 41);
    EXPECT_FALSE(std::filesystem::exists(finderExtensionPidFile(sysroot.root)));
}

}
