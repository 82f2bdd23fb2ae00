#include "app/forget_drive.h"

#include "common/constants.h"
#include "crypto/drive_registry.h"
#include "platform/platform.h"
#include "tests/support/expectations.h"
#include "tests/support/fakes.h"
#include "tests/support/registry_fakes.h"
#include "tests/support/suppression_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const std::string vault = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
const std::string domain = "com.apple.APFSUserAgent";

PreferenceValue marker() { return PreferenceValue::Dictionary {{"DontUnlockVolume", "2999-01-01 00:00:00"}}; }

struct Mac {
    Mac()
    {
        for (std::string path : {std::string("/Users"), std::string("/Users/casey"), std::string("/Users/casey/Library"),
                                 *paths.applicationSupport})
            files.putDirectory(path);
        registerDrive(files, paths, suppression, enrolledVolumeManifest(vault, "PRIVATE"));
        preferences.stored[domain][vault] = marker();
    }
    void forget(const std::string& uuid) { forgetDriveCommand(platform, {{uuid}}); }

    RegistryFiles files;
    RegistryPaths paths;
    RecordingSuppression suppression;
    MemoryPreferences preferences;
    FakeToolRunner tools;
    RecordingLog log;
    FakeWorkspace workspace;
    std::ostringstream out;
    Platform platform {.tools = tools, .out = out, .files = files, .log = log, .paths = paths, .workspace = workspace,
                       .preferences = preferences};
};

}

TEST(ForgetDrive, RemovesTheEntryAndTheMarkerAndSaysSo)
{
    Mac mac;
    mac.forget("6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b");
    EXPECT_EQ(mac.out.str(), "DRIVE FORGOTTEN\nVolume UUID: " + vault + "\n");
    EXPECT_TRUE(registeredVolumeUUIDs(mac.files, mac.paths).empty());
    EXPECT_FALSE(mac.preferences.stored[domain].contains(vault));
}

TEST(ForgetDrive, RefusesAVolumeTheMacDoesNotKnowAndChangesNothing)
{
    for (const std::string given : {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", "not-a-uuid", ""}) {
        SCOPED_TRACE(given);
        Mac mac;
        int before = mac.files.mutations;
        EXPECT_PROOF_ERROR(mac.forget(given), "no Ferrolatch drive with this volume UUID is registered on this Mac");
        EXPECT_EQ(mac.files.mutations, before);
        EXPECT_EQ(mac.preferences.stored[domain][vault], marker());
        EXPECT_EQ(mac.out.str(), "");
    }
}

// The marker goes first: when it cannot, the drive stays registered and the
// command can simply be run again.
TEST(ForgetDrive, AMarkerThatCannotBeRemovedKeepsTheEntry)
{
    Mac mac;
    mac.preferences.persists = false;
    EXPECT_PROOF_ERROR(mac.forget(vault), "macOS did not persist Ferrolatch's per-user APFS prompt suppression");
    EXPECT_EQ(registeredVolumeUUIDs(mac.files, mac.paths), (std::set<std::string> {vault}));
    mac.preferences.persists = true;
    mac.forget(vault);
    EXPECT_TRUE(registeredVolumeUUIDs(mac.files, mac.paths).empty());
}
