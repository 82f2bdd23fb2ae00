#include "agent/drive_chooser.h"
#include "agent/drive_discovery.h"
#include "tests/unit/agent/agent_bench.h"

#include <gtest/gtest.h>

namespace ferrolatch::testing {
namespace {

const std::string unlockAlert = "alert: Could not unlock this Ferrolatch disk | ";

TEST(DriveScan, UnlocksAnInsertedDriveInItsStepOrder)
{
    AgentBench bench;
    FakeDrive drive;
    bench.machine.add(drive);
    auto agent = bench.start();
    bool allowedDuringChild = false;
    bench.machine.duringChild = [&](FakeDrive& unlocking) {
        allowedDuringChild = !bench.blocked(*agent, unlocking);
        EXPECT_TRUE(agent->scanning());
    };
    bench.events.clear();
    bench.loop.advance(0);

    const Events expected = {
        "diskutil info -plist /Volumes/FERROLATCH",
        "diskutil unmount disk4s1",
        "diskutil mount nobrowse disk4s1",
        "diskutil info -plist disk4s1",
        "status: Unlocking Vault\u2026",
        "open -n -W /Applications/Ferrolatch.app --args mount-drive /Volumes/FERROLATCH/ferrolatch.json",
        "diskutil apfs list -plist",
        "diskutil info -plist disk4s2",
        "status: Mounted Vault",
        "open file:///Volumes/Vault/",
        // The closing refresh: the eject rows, then the status line.
        "diskutil apfs list -plist",
        "diskutil info -plist disk4s2",
        "diskutil apfs list -plist",
        "diskutil info -plist disk4s2",
    };
    EXPECT_EQ(bench.events, expected);
    EXPECT_TRUE(allowedDuringChild);
    EXPECT_TRUE(bench.blocked(*agent, drive)); // enrolled, and allowed no longer
    EXPECT_EQ(registeredVolumeUUIDs(bench.files, bench.paths), (std::set<std::string> {drive.uuid}));
    EXPECT_EQ(agent->trayState(), TrayState::Open);
    EXPECT_EQ(bench.statusItem.button().image->resourceName, "FerrolatchStatusIconContour");
    EXPECT_FALSE(agent->scanning());
    EXPECT_TRUE(bench.ui.alerts.empty());
}

TEST(DriveScan, NoManifestShowsTheIdleTextWithoutAnAlert)
{
    for (bool capable : {true, false}) {
        AgentBench bench;
        bench.capable = capable;
        auto agent = bench.start();
        bench.loop.advance(0);
        EXPECT_EQ(bench.statusItem.statusLine(),
                  capable ? "Waiting for a Ferrolatch disk" : "macOS compatibility fallback required");
        EXPECT_TRUE(bench.ui.alerts.empty());
        EXPECT_FALSE(agent->scanning());
    }
}

struct FailureCase {
    std::string name;
    std::function<void(AgentBench&, FakeDrive&)> arrange;
    std::string description;
};

TEST(DriveScan, AFailingDriveShowsTheAlertAndTheScanGoesOn)
{
    const FailureCase cases[] = {
        {"damaged manifest",
         [](AgentBench& bench, FakeDrive& drive) { bench.files.put(drive.manifestPath(), "{not json"); }, ""},
        {"a disk-image manifest",
         [](AgentBench& bench, FakeDrive& drive) {
             bench.files.put(drive.manifestPath(), encodeManifest(driveManifest(drive, "native-disk-image")));
         },
         "manifest does not identify a native Ferrolatch APFS volume"},
        {"bootstrap on internal storage",
         [](AgentBench& bench, FakeDrive&) { bench.machine.drives.front().bootstrapInternalReported = true; },
         "refusing to hide a bootstrap volume on internal storage"},
        {"internal flag unavailable",
         [](AgentBench& bench, FakeDrive&) { bench.machine.drives.front().bootstrapInternalReported = std::nullopt; },
         "refusing to hide a bootstrap volume on internal storage"},
        {"diskutil calls the bootstrap internal",
         [](AgentBench& bench, FakeDrive&) { bench.machine.drives.front().bootstrapInternal = true; },
         "could not identify the external bootstrap volume"},
        {"the child instance fails",
         [](AgentBench& bench, FakeDrive& drive) { bench.machine.failingChildren.insert(drive.disk); },
         "open failed"},
        {"the re-mounted bootstrap lacks its manifest",
         [](AgentBench& bench, FakeDrive&) { bench.machine.drives.front().remountLosesManifest = true; },
         "bootstrap remounted without its Ferrolatch manifest"},
        {"the unlocked volume is gone from the inventory",
         [](AgentBench& bench, FakeDrive&) { bench.machine.drives.front().vanishesWhenUnlocked = true; },
         "unlocked volume disappeared"},
        {"not run from an application bundle",
         [](AgentBench& bench, FakeDrive&) { bench.paths.bundle = "/usr/local/bin"; },
         "Ferrolatch could not locate its signed application bundle"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBench bench;
        FakeDrive broken;
        bench.machine.add(broken);
        FakeDrive second;
        second.disk = "disk5";
        second.bootstrapPath = "/Volumes/FERROLATCH 1";
        second.uuid = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
        second.name = "Photos";
        bench.machine.add(second);
        c.arrange(bench, broken);
        auto agent = bench.start();
        std::string statusAtAlert;
        bench.ui.onAlert = [&] { statusAtAlert = bench.statusItem.statusLine(); };
        bench.loop.advance(0);

        ASSERT_EQ(bench.ui.alerts.size(), std::size_t {c.name == "not run from an application bundle" ? 2u : 1u});
        const ShownAlert& alert = bench.ui.alerts.front();
        EXPECT_EQ(alert.messageText, "Could not unlock this Ferrolatch disk");
        EXPECT_EQ(alert.style, AlertStyle::Warning);
        EXPECT_EQ(alert.buttons.size(), 1u);
        if (!c.description.empty()) {
            EXPECT_TRUE(alert.informativeText.starts_with(c.description)) << alert.informativeText;
        }
        EXPECT_EQ(statusAtAlert, "Ferrolatch needs attention");
        if (c.name != "not run from an application bundle") {
            EXPECT_EQ(bench.count("open -n -W /Applications/Ferrolatch.app --args mount-drive "
                                  "/Volumes/FERROLATCH 1/ferrolatch.json"),
                      1);
        }
        EXPECT_FALSE(agent->scanning());
    }
}

TEST(DriveScan, AFailedChildLeavesTheAllowedSetBeforeTheAlert)
{
    AgentBench bench;
    FakeDrive drive;
    bench.machine.add(drive);
    bench.machine.childStatus = 1;
    auto agent = bench.start();
    std::optional<bool> blockedAtAlert;
    bench.ui.onAlert = [&] { blockedAtAlert = bench.blocked(*agent, drive); };
    bench.loop.advance(0);
    EXPECT_EQ(blockedAtAlert, true);
    // The final refresh names the drive that stayed locked.
    EXPECT_EQ(bench.statusItem.statusLine(), "Connected Vault (locked)");
    EXPECT_EQ(agent->trayState(), TrayState::Closed);
}

TEST(DriveScan, AnAlreadyHiddenBootstrapIsNotRemounted)
{
    AgentBench bench;
    FakeDrive drive;
    drive.bootstrapBrowsable = false;
    bench.machine.add(drive);
    auto agent = bench.start();
    bench.loop.advance(0);
    EXPECT_EQ(bench.count("diskutil unmount disk4s1"), 0);
    EXPECT_EQ(bench.count("diskutil mount nobrowse disk4s1"), 0);
    EXPECT_EQ(bench.count("diskutil info -plist /Volumes/FERROLATCH"), 0);
    EXPECT_EQ(bench.statusItem.statusLine(), "Mounted Vault");
}

TEST(DriveScan, ALowerCaseManifestUUIDIsGuardedInUpperCase)
{
    AgentBench bench;
    FakeDrive drive;
    drive.uuid = "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9";
    bench.machine.add(drive);
    auto agent = bench.start();
    bench.loop.advance(0);
    bench.arbitration.uuids[drive.dataDevice()] = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    EXPECT_TRUE(agent->mountGuard().shouldBlock({drive.dataDevice(), 0}));
    EXPECT_TRUE(bench.ui.alerts.empty());
}

TEST(DriveScan, AScanDuringAScanDoesNothing)
{
    AgentBench bench;
    FakeDrive drive;
    bench.machine.add(drive);
    auto agent = bench.start();
    Events during;
    bench.machine.duringChild = [&](FakeDrive&) {
        std::size_t before = bench.events.size();
        agent->scanForDrives();
        bench.statusItem.click("Scan for Ferrolatch Drives");
        during.assign(bench.events.begin() + static_cast<long>(before), bench.events.end());
    };
    bench.loop.advance(0);
    // Opening the menu rebuilt the eject rows from the inventory; nothing was scanned.
    EXPECT_EQ(during, Events {"diskutil apfs list -plist"});
    EXPECT_EQ(bench.count("diskutil unmount disk4s1"), 1);
}

TEST(DriveScan, TwoDrivesAreUnlockedInPathOrder)
{
    AgentBench bench;
    FakeDrive second;
    second.disk = "disk5";
    second.bootstrapPath = "/Volumes/FERROLATCH 10";
    second.uuid = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    second.name = "Photos";
    bench.machine.add(second);
    FakeDrive first;
    first.bootstrapPath = "/Volumes/FERROLATCH 2";
    bench.machine.add(first);
    EXPECT_EQ(discoverManifests(bench.machine, bench.files),
              (std::vector<std::string> {"/Volumes/FERROLATCH 2/ferrolatch.json", "/Volumes/FERROLATCH 10/ferrolatch.json"}));
}

TEST(DriveDiscovery, BootstrapDeviceIdentifierAcceptsOnlyAnExternalPartition)
{
    struct Case {
        std::string plist;
        bool accepted;
    };
    const Case cases[] = {
        {"<dict><key>DeviceIdentifier</key><string>disk4s1</string><key>Internal</key><false/></dict>", true},
        {"<dict><key>DeviceIdentifier</key><string>disk4</string><key>Internal</key><false/></dict>", false},
        {"<dict><key>DeviceIdentifier</key><string>disk4s1x</string><key>Internal</key><false/></dict>", false},
        {"<dict><key>DeviceIdentifier</key><string>disk4s1</string><key>Internal</key><true/></dict>", false},
        {"<dict><key>DeviceIdentifier</key><string>disk4s1</string></dict>", false},
        {"<dict><key>DeviceIdentifier</key><string>disk4s1</string><key>Internal</key><string>no</string></dict>", false},
        {"<array/>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plist);
        FakeToolRunner tools;
        tools.answer({"info", "-plist", "/Volumes/B"}, plistDocument(c.plist));
        if (c.accepted) {
            EXPECT_EQ(bootstrapDeviceIdentifier(tools, "/Volumes/B"), "disk4s1");
        } else {
            try {
                bootstrapDeviceIdentifier(tools, "/Volumes/B");
                ADD_FAILURE() << "accepted";
            } catch (const ProofError& error) {
                EXPECT_STREQ(error.what(), "could not identify the external bootstrap volume");
            }
        }
    }
}

TEST(DriveDiscovery, RunsTheOwnBundleWithOpen)
{
    FakeToolRunner tools;
    AgentPaths paths;
    paths.bundle = "/Applications/./Ferrolatch.app/";
    tools.answer({"-n", "-W", "/Applications/Ferrolatch.app", "--args", "setup-drive"}, "");
    runInOwnAppBundle(tools, paths, {"setup-drive"});
    ASSERT_EQ(tools.calls.size(), 1u);
    EXPECT_EQ(tools.calls.front().executable, "/usr/bin/open");
    EXPECT_FALSE(tools.calls.front().standardInput);
}

struct ChooserBench {
    Events events;
    MemoryFiles files;
    FakeUi ui {events};
    std::vector<std::string> candidates;

    void add(const std::string& path, const std::string& name)
    {
        FakeDrive drive;
        drive.name = name;
        files.put(path, encodeManifest(driveManifest(drive)));
        candidates.push_back(path);
    }
};

TEST(DriveChooser, RefusesNoneAndTakesASingleDriveUnread)
{
    ChooserBench bench;
    try {
        chooseDriveManifest(bench.ui, bench.files, {}, "decrypt and show its recovery key");
        ADD_FAILURE() << "chose without a drive";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "Connect a Ferrolatch disk, then try again.");
    }
    bench.files.put("/Volumes/A/ferrolatch.json", "damaged");
    EXPECT_EQ(chooseDriveManifest(bench.ui, bench.files, {"/Volumes/A/ferrolatch.json"}, "x"),
              "/Volumes/A/ferrolatch.json");
    EXPECT_TRUE(bench.ui.alerts.empty());
}

TEST(DriveChooser, AsksWithAPopUpOfVolumeNames)
{
    ChooserBench bench;
    bench.add("/Volumes/A/ferrolatch.json", "Vault");
    bench.add("/Volumes/B/ferrolatch.json", "Photos");
    bench.ui.responses = {{alertFirstButtonReturn, 1}, {alertFirstButtonReturn + 1, 0}};
    EXPECT_EQ(chooseDriveManifest(bench.ui, bench.files, bench.candidates, "decrypt and show its recovery key"),
              "/Volumes/B/ferrolatch.json");
    const ShownAlert& alert = bench.ui.alerts.front();
    EXPECT_EQ(alert.messageText, "Choose a Ferrolatch disk");
    EXPECT_EQ(alert.informativeText,
              "Required: authenticate with its passkey before Ferrolatch can decrypt and show its recovery key.");
    ASSERT_EQ(alert.buttons.size(), 2u);
    EXPECT_EQ(alert.buttons[0].title, "Continue");
    EXPECT_EQ(alert.buttons[1].title, "Cancel");
    ASSERT_TRUE(alert.popUp);
    const PopUpButton& popUp = *alert.popUp;
    EXPECT_EQ(popUp.items, (std::vector<std::string> {"Vault", "Photos"}));
    EXPECT_EQ(popUp.size.width, 320);
    EXPECT_EQ(popUp.size.height, 26);
    EXPECT_FALSE(popUp.pullsDown);
    // Cancel chooses nothing.
    EXPECT_EQ(chooseDriveManifest(bench.ui, bench.files, bench.candidates, "x"), std::nullopt);
}

TEST(DriveChooser, RefusesSeveralDrivesWhenOneManifestIsNotAVolume)
{
    ChooserBench bench;
    bench.add("/Volumes/A/ferrolatch.json", "Vault");
    FakeDrive image;
    bench.files.put("/Volumes/B/ferrolatch.json", encodeManifest(driveManifest(image, "native-disk-image")));
    bench.candidates.push_back("/Volumes/B/ferrolatch.json");
    try {
        chooseDriveManifest(bench.ui, bench.files, bench.candidates, "x");
        ADD_FAILURE() << "chose";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "manifest does not identify a native Ferrolatch APFS volume");
    }
    EXPECT_TRUE(bench.ui.alerts.empty());
}

TEST(AgentMenuCommands, RecoveryAndSetUpRunInChildInstances)
{
    AgentBench bench;
    FakeDrive drive;
    bench.enroll(drive);
    auto agent = bench.start();
    bench.loop.advance(0);
    bench.events.clear();
    bench.statusItem.click("Authenticate to Show Recovery Key\u2026");
    bench.statusItem.click("Authenticate to Save Recovery in Passwords\u2026");
    EXPECT_EQ(bench.count("open -n -W /Applications/Ferrolatch.app --args native-offline-recovery "
                          "/Volumes/FERROLATCH/ferrolatch.json"),
              1);
    EXPECT_EQ(bench.count("open -n -W /Applications/Ferrolatch.app --args native-passwords-recovery "
                          "/Volumes/FERROLATCH/ferrolatch.json"),
              1);
    EXPECT_TRUE(bench.ui.alerts.empty());

    bench.statusItem.click("Set Up a Drive\u2026");
    EXPECT_EQ(bench.count("open -n -W /Applications/Ferrolatch.app --args setup-drive"), 1);
    // A successful set-up scans.
    EXPECT_EQ(bench.count("open -n -W /Applications/Ferrolatch.app --args mount-drive "
                          "/Volumes/FERROLATCH/ferrolatch.json"),
              1);
}

TEST(AgentMenuCommands, FailuresShowTheirTitles)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.loop.advance(0);
    bench.statusItem.click("Authenticate to Show Recovery Key\u2026");
    bench.statusItem.click("Authenticate to Save Recovery in Passwords\u2026");
    bench.paths.bundle = "/opt/ferrolatch";
    bench.statusItem.click("Set Up a Drive\u2026");
    ASSERT_EQ(bench.ui.alerts.size(), 3u);
    EXPECT_EQ(bench.ui.alerts[0].messageText, "Could not show the offline recovery key");
    EXPECT_EQ(bench.ui.alerts[0].informativeText, "Connect a Ferrolatch disk, then try again.");
    EXPECT_EQ(bench.ui.alerts[1].messageText, "Could not save the recovery password");
    EXPECT_EQ(bench.ui.alerts[2].messageText, "Could not set up the drive");
    EXPECT_EQ(bench.ui.alerts[2].informativeText, "Ferrolatch could not locate its signed application bundle");
}

}
}
