#include "commands/native_recovery_commands.h"

#include "common/constants.h"
#include "crypto/manifest.h"
#include "disk/apfs_inventory.h"
#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;

namespace {

const std::string uuid = "6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";
const std::string manifestPath = "/Volumes/FERROLATCH/ferrolatch.json";
const std::string key43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

Manifest nativeManifest()
{
    Manifest manifest;
    manifest.version = 1;
    manifest.relyingPartyID = std::string(relyingPartyDomain);
    manifest.credentialID = "Y3JlZA";
    manifest.prfSalt = "c2FsdA";
    manifest.wrappedPassword = "d3JhcA";
    manifest.createdAt = "2026-01-31T09:15:00Z";
    manifest.resourceKind = "native-apfs-volume";
    manifest.volumeUUID = uuid;
    manifest.volumeName = "Backup";
    return manifest;
}

std::string volumeXML(const APFSVolume& volume)
{
    auto flag = [](bool value) { return value ? "<true/>" : "<false/>"; };
    return "<dict><key>APFSVolumeUUID</key><string>" + volume.uuid + "</string><key>DeviceIdentifier</key><string>"
        + volume.device + "</string><key>Encryption</key>" + flag(volume.encrypted) + "<key>Locked</key>"
        + flag(volume.locked) + "<key>Name</key><string>" + volume.name + "</string></dict>";
}

std::string inventory(const std::vector<APFSVolume>& volumes)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Containers</key>"
                      "<array><dict><key>ContainerReference</key><string>disk5</string><key>Volumes</key><array>";
    for (const auto& volume : volumes)
        xml += volumeXML(volume);
    return xml + "</array></dict></array></dict></plist>\n";
}

struct CommandFixture : ::testing::Test {
    TinyFiles files;
    FakeTools tools;
    int unwraps = 0;
    NativeRecoverySources sources {files, tools, [this](const Manifest& manifest) {
                                       ++unwraps;
                                       EXPECT_EQ(manifest, nativeManifest());
                                       return SecretBytes::copyOf(key43);
                                   }};

    CommandFixture() { files.files[manifestPath] = encodeManifest(nativeManifest()); }

    void attach(std::vector<APFSVolume> volumes)
    {
        tools.outcomes[{"apfs", "list", "-plist"}] = ToolOutcome {0, inventory(volumes), ""};
    }
};

const APFSVolume otherVolume {"disk5s1", "11111111-2222-4333-8444-555555555555", "FERROLATCH", false, false};

}

TEST_F(CommandFixture, InventoryFixtureReadsBack)
{
    APFSVolume volume {"disk5s2", uuid, "Backup", true, true};
    EXPECT_EQ(parseAPFSInventory(inventory({otherVolume, volume}), std::nullopt),
              (std::vector<APFSVolume> {otherVolume, volume}));
}

TEST_F(CommandFixture, HandsTheUnwrappedPasswordToThePresenterWhetherLockedOrNot)
{
    for (bool locked : {true, false}) {
        SCOPED_TRACE(locked ? "locked" : "unlocked");
        attach({otherVolume, {"disk5s2", uuid, "Backup", true, locked}});
        int presented = 0;
        runNativeRecoveryCommand(sources, manifestPath,
                                 [&](const SecretBytes& password, const std::string& name, const std::string& id) {
                                     ++presented;
                                     EXPECT_TRUE(password.equals(key43));
                                     EXPECT_EQ(name, "Backup");
                                     EXPECT_EQ(id, uuid);
                                 });
        EXPECT_EQ(presented, 1);
    }
    EXPECT_EQ(unwraps, 2);
}

TEST_F(CommandFixture, RefusesBeforeAnyPasskeyPromptWhenTheVolumeIsMissingOrPlain)
{
    struct Case {
        const char* name;
        std::vector<APFSVolume> volumes;
        const char* recoveryMessage;
        const char* copyMessage;
    };
    const Case cases[] = {
        {"not attached", {otherVolume}, "the native Ferrolatch APFS volume is not attached",
         "the native Ferrolatch APFS volume is not attached"},
        // Found by exact text: a lower-case UUID is another volume.
        {"UUID differs in case", {{"disk5s2", "6a0d3c2e-1f4b-4e8a-9c7d-5b3a2f1e0d9c", "Backup", true, true}},
         "the native Ferrolatch APFS volume is not attached", "the native Ferrolatch APFS volume is not attached"},
        {"not encrypted", {{"disk5s2", uuid, "Backup", false, false}}, "the native Ferrolatch APFS volume is not encrypted",
         "the native Ferrolatch APFS volume must be encrypted and locked"},
        {"unlocked", {{"disk5s2", uuid, "Backup", true, false}}, nullptr,
         "the native Ferrolatch APFS volume must be encrypted and locked"},
    };
    std::ostringstream out;
    std::istringstream input("\n\n\n\n\n");
    FakePasteboard pasteboard;
    TerminalHandoffServices handoff {out, input, pasteboard, tools};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        attach(c.volumes);
        if (c.recoveryMessage) {
            try {
                runNativeRecoveryCommand(sources, manifestPath, [](const SecretBytes&, const std::string&,
                                                                   const std::string&) { ADD_FAILURE(); });
                ADD_FAILURE() << "no refusal";
            } catch (const ProofError& error) {
                EXPECT_STREQ(error.what(), c.recoveryMessage);
            }
        }
        try {
            runNativeCopyRecovery(sources, manifestPath, handoff);
            ADD_FAILURE() << "no refusal";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), c.copyMessage);
        }
    }
    EXPECT_EQ(unwraps, 0);
    EXPECT_TRUE(pasteboard.history.empty());
    EXPECT_EQ(out.str(), "");
}

TEST_F(CommandFixture, ManifestAndInventoryFailuresPassThrough)
{
    Manifest browser = nativeManifest();
    browser.relyingPartyID = "localhost";
    files.files[manifestPath] = encodeManifest(browser);
    attach({{"disk5s2", uuid, "Backup", true, true}});
    auto noPresenter = [](const SecretBytes&, const std::string&, const std::string&) { ADD_FAILURE(); };
    try {
        runNativeRecoveryCommand(sources, manifestPath, noPresenter);
        ADD_FAILURE();
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "manifest does not identify a native Ferrolatch APFS volume");
    }
    EXPECT_TRUE(tools.calls.empty()) << "the manifest is checked before the inventory";

    files.files[manifestPath] = encodeManifest(nativeManifest());
    tools.outcomes[{"apfs", "list", "-plist"}] = ToolOutcome {1, "", "Unable to list\n"};
    try {
        runNativeRecoveryCommand(sources, manifestPath, noPresenter);
        ADD_FAILURE();
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "diskutil failed: Unable to list");
    }
    EXPECT_EQ(unwraps, 0);
}

TEST_F(CommandFixture, APresenterFailureReachesTheCaller)
{
    attach({{"disk5s2", uuid, "Backup", true, false}});
    EXPECT_THROW(runNativeRecoveryCommand(sources, manifestPath,
                                          [](const SecretBytes&, const std::string&, const std::string&) {
                                              throw ProofError("presenter failed");
                                          }),
                 ProofError);
}

TEST_F(CommandFixture, CopyRecoveryRunsTheTerminalHandoffForALockedVolume)
{
    attach({{"disk5s2", uuid, "Backup", true, true}});
    std::ostringstream out;
    std::istringstream input("\n\n\n\n\n");
    FakePasteboard pasteboard;
    tools.outcomes[{"-a", "Passwords"}] = ToolOutcome {0, "", ""};
    TerminalHandoffServices handoff {out, input, pasteboard, tools};
    runNativeCopyRecovery(sources, manifestPath, handoff);
    EXPECT_TRUE(out.str().starts_with("MANUAL RECOVERY SAVE READY\n"));
    EXPECT_TRUE(out.str().ends_with("CLIPBOARD CLEARED\n"));
    EXPECT_EQ(out.str().find(key43), std::string::npos);
    EXPECT_NE(std::find(pasteboard.history.begin(), pasteboard.history.end(), "set " + key43), pasteboard.history.end());
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_EQ(unwraps, 1);
}
