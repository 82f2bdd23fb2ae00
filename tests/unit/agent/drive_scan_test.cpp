#include "agent/drive_chooser.h"
#include "agent/drive_discovery.h"
#include "agent/own_app_bundle.h"
#include "common/ascii_case.h"
#include "tests/unit/agent/agent_bench.h"

#include <gtest/gtest.h>

namespace ferrolatch::testing {
namespace {

const std::string unlockAlert = "Could not unlock this Ferrolatch disk";
const std::string mountDrive = "mount-drive /Volumes/FERROLATCH/ferrolatch.json";

// A second drive, on a disk and container of its own.
FakeDrive photosDrive(const std::string& bootstrapPath = "/Volumes/FERROLATCH 1")
{
    FakeDrive drive;
    drive.disk = "disk5";
    drive.bootstrapPath = bootstrapPath;
    drive.uuid = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    drive.name = "Photos";
    return drive;
}

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
        // The snapshot the scan works from: the inventory, read once.
        "diskutil apfs list -plist",
        "diskutil info -plist /Volumes/FERROLATCH",
        "diskutil unmount disk4s1",
        "diskutil mount nobrowse disk4s1",
        "diskutil info -plist disk4s1",
        "status: Unlocking Vault\u2026",
        "open -n -W --stderr ERRORS /Applications/Ferrolatch.app --args " + mountDrive,
        "diskutil apfs list -plist",
        "diskutil info -plist disk4s2",
        "status: Mounted Vault",
        "open file:///Volumes/Vault/",
        // The closing refresh: one inventory, one description of the unlocked volume.
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
        {"the child instance fails without a word",
         [](AgentBench& bench, FakeDrive& drive) { bench.machine.failingChildren.insert(drive.disk); },
         "open failed: "},
        {"the child instance fails with its own error line",
         [](AgentBench& bench, FakeDrive& drive) {
             bench.machine.failingChildren.insert(drive.disk);
             bench.machine.childError = "diskutil failed: Could not find disk: disk4s2";
         },
         "diskutil failed: Could not find disk: disk4s2"},
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
        bench.machine.add(photosDrive());
        c.arrange(bench, broken);
        auto agent = bench.start();
        std::string statusAtAlert;
        bench.ui.onAlert = [&] { statusAtAlert = bench.statusItem.statusLine(); };
        bench.loop.advance(0);

        ASSERT_EQ(bench.ui.alerts.size(), std::size_t {c.name == "not run from an application bundle" ? 2u : 1u});
        const ShownAlert& alert = bench.ui.alerts.front();
        EXPECT_EQ(alert.messageText, unlockAlert);
        EXPECT_EQ(alert.style, AlertStyle::Warning);
        EXPECT_EQ(alert.buttons.size(), 1u);
        if (!c.description.empty()) {
            EXPECT_TRUE(alert.informativeText.starts_with(c.description)) << alert.informativeText;
        }
        EXPECT_EQ(statusAtAlert, "Ferrolatch needs attention");
        if (c.name != "not run from an application bundle") {
            EXPECT_EQ(bench.children("mount-drive /Volumes/FERROLATCH 1/ferrolatch.json"), 1);
        }
        EXPECT_FALSE(agent->scanning());
    }
}

// A stranger's stick whose manifest names a volume that is not an encrypted
// volume of its own container: nothing is hidden, registered, marked or
// guarded, and the Mac's other volumes stay as they were.
TEST(DriveScan, AManifestMayOnlyNameAnEncryptedVolumeOfItsOwnDrive)
{
    const APFSVolume internalSecrets {"disk1s5", "5EC12E75-0000-4000-8000-000000000001", "Secrets", true, true};
    const APFSVolume plainBackup {"disk1s6", "BAC4B0AC-0000-4000-8000-000000000002", "Backup", false, false};
    struct Case {
        std::string name;
        std::string namedUUID;
    };
    const FakeDrive stick;
    const Case cases[] = {
        {"an internal encrypted volume", internalSecrets.uuid},
        {"an unencrypted backup volume of another disk", plainBackup.uuid},
        {"a made-up volume", "0DDBA11D-0000-4000-8000-000000000003"},
        {"its own bootstrap volume", stick.bootstrapVolumeUUID()},
        {"the right volume in lower case, but on another drive", "1a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBench bench;
        bench.machine.strangers = {internalSecrets, plainBackup};
        bench.machine.add(photosDrive());
        FakeDrive named = stick;
        named.uuid = c.namedUUID;
        bench.machine.add(stick, encodeManifest(driveManifest(named)));
        auto agent = bench.start();
        bench.loop.advance(0);

        ASSERT_EQ(bench.ui.alerts.size(), 1u);
        EXPECT_EQ(bench.ui.alerts.front().messageText, unlockAlert);
        EXPECT_EQ(bench.ui.alerts.front().informativeText,
                  "the manifest names a volume that is not an encrypted volume of its own Ferrolatch disk");
        EXPECT_EQ(bench.count("diskutil unmount disk4s1"), 0);
        EXPECT_EQ(bench.children(mountDrive), 0);
        EXPECT_EQ(registeredVolumeUUIDs(bench.files, bench.paths), (std::set<std::string> {photosDrive().uuid}));
        EXPECT_EQ(bench.suppression.installed, (std::vector<std::string> {photosDrive().uuid}));
        if (asciiUppercased(c.namedUUID) != photosDrive().uuid) {
            bench.arbitration.uuids["disk9s9"] = asciiUppercased(c.namedUUID);
            EXPECT_FALSE(agent->mountGuard().shouldBlock({"disk9s9", 0}));
        }
        // The real drive beside it opened as usual.
        EXPECT_EQ(bench.children("mount-drive /Volumes/FERROLATCH 1/ferrolatch.json"), 1);
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

// Two drives plugged in at once: each is unlocked in its own child, in path
// order, and each opens one Finder window, however many mounts follow.
TEST(DriveScan, TwoDrivesAreUnlockedInPathOrder)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.settle();
    FakeDrive& second = bench.machine.add(photosDrive("/Volumes/FERROLATCH 10"));
    FakeDrive first;
    first.bootstrapPath = "/Volumes/FERROLATCH 2";
    FakeDrive& added = bench.machine.add(first);
    bench.machine.attach(second, bench.arbitration);
    bench.machine.attach(added, bench.arbitration);
    bench.events.clear();
    bench.settle();

    Events children;
    for (const std::string& event : bench.events)
        if (event.starts_with("open "))
            children.push_back(event);
    EXPECT_EQ(children,
              (Events {"open -n -W --stderr ERRORS /Applications/Ferrolatch.app --args mount-drive "
                       "/Volumes/FERROLATCH 2/ferrolatch.json",
                       "open file:///Volumes/Vault/",
                       "open -n -W --stderr ERRORS /Applications/Ferrolatch.app --args mount-drive "
                       "/Volumes/FERROLATCH 10/ferrolatch.json",
                       "open file:///Volumes/Photos/"}));
    EXPECT_FALSE(bench.machine.drive("Vault").locked);
    EXPECT_FALSE(bench.machine.drive("Photos").locked);
    EXPECT_TRUE(bench.ui.alerts.empty());
}

// The agent's own remount and the child's unlock announce mounts too; none of
// them brings another attempt. A drive tried once, whatever came of it, is
// tried again only after it is plugged in again or the user asks.
TEST(DriveScan, OneInsertionIsOneAttempt)
{
    struct Case {
        std::string name;
        int childStatus;
    };
    for (const Case& c : {Case {"unlocked", 0}, Case {"passkey cancelled", 1}}) {
        SCOPED_TRACE(c.name);
        AgentBench bench;
        auto agent = bench.start();
        bench.settle();
        FakeDrive& drive = bench.machine.add(FakeDrive {});
        bench.machine.childStatus = c.childStatus;
        bench.machine.attach(drive, bench.arbitration);
        bench.settle();
        EXPECT_EQ(bench.children(mountDrive), 1);
        EXPECT_EQ(bench.finderWindows(), c.childStatus == 0 ? 1 : 0);
        EXPECT_EQ(bench.ui.alerts.size(), c.childStatus == 0 ? 0u : 1u);

        // Another volume mounts; the drive is not tried again.
        bench.volumeEvents.fire(VolumeEventKind::DidMount);
        bench.settle();
        EXPECT_EQ(bench.children(mountDrive), 1);

        // Plugged in again: one more attempt.
        bench.machine.detach(drive);
        bench.settle();
        bench.machine.attach(drive, bench.arbitration);
        bench.settle();
        EXPECT_EQ(bench.children(mountDrive), 2);

        // The user asks: every drive is tried.
        bench.statusItem.click("Scan for Ferrolatch Drives");
        bench.settle();
        EXPECT_EQ(bench.children(mountDrive), 3);
    }
}

// A volume unlocked before the agent looked, or one a command of the user's
// is unlocking through the agent's window, is not tried by an automatic scan.
TEST(DriveScan, AnUnlockedOrUnlockingVolumeIsNotTriedAutomatically)
{
    AgentBench bench;
    FakeDrive unlocked;
    unlocked.locked = false;
    bench.enroll(unlocked);
    auto agent = bench.start();
    bench.settle();
    EXPECT_EQ(bench.children(mountDrive), 0);
    EXPECT_EQ(bench.finderWindows(), 0);
    EXPECT_EQ(bench.statusItem.statusLine(), "Mounted Vault");

    bench.machine.detach(bench.machine.drive("Vault"));
    bench.settle();
    FerrolatchMountGuard::ExplicitUnlock command = agent->mountGuard().beginExplicitUnlock(unlocked.uuid);
    bench.machine.attach(bench.machine.drive("Vault"), bench.arbitration);
    bench.settle();
    EXPECT_EQ(bench.children(mountDrive), 0);
}

// A volume the user may not look into is passed over; the drive is found.
TEST(DriveScan, AnUnreadableVolumeDoesNotStopTheScan)
{
    AgentBench bench;
    bench.machine.otherVolumes = {{"/Volumes/Private", "Private", std::nullopt, false, true, true}};
    bench.files.makeUnreadable("/Volumes/Private");
    bench.machine.add(FakeDrive {});
    auto agent = bench.start();
    bench.loop.advance(0);
    EXPECT_EQ(bench.children(mountDrive), 1);
    EXPECT_EQ(bench.statusItem.statusLine(), "Mounted Vault");
    EXPECT_TRUE(bench.ui.alerts.empty());
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

TEST(OwnAppBundle, RunsTheBundleWithOpenAndItsErrorsInAPrivateFile)
{
    Events events;
    MemoryFiles files;
    FakeMachine machine(events, files);
    AgentPaths paths;
    paths.bundle = "/Applications/./Ferrolatch.app/";
    std::string errors;
    machine.otherChild = [&](const std::string&) { errors = "seen"; };
    runInOwnAppBundle(machine, paths, files, {"setup-drive"});
    EXPECT_EQ(events, Events {"open -n -W --stderr ERRORS /Applications/Ferrolatch.app --args setup-drive"});
    EXPECT_EQ(errors, "seen");
    // Nothing is left behind in the temporary folder.
    EXPECT_TRUE(std::none_of(files.entries.begin(), files.entries.end(),
                             [](const auto& entry) { return entry.first.starts_with("/private/tmp/"); }));
}

TEST(OwnAppBundle, AFailedChildSaysItsOwnLastErrorLine)
{
    struct Case {
        std::string standardError;
        std::optional<std::string> line;
    };
    const Case cases[] = {
        {"ferrolatch-proof: diskutil failed: Could not find disk: disk5s2\n", "diskutil failed: Could not find disk: disk5s2"},
        {"a warning\nferrolatch-proof: The operation was cancelled.\n\n  \n", "The operation was cancelled."},
        {"no program prefix", "no program prefix"},
        {"", std::nullopt},
        {" \n\t\n", std::nullopt},
        {"ferrolatch-proof: ", std::nullopt},
        {"ferrolatch-proof: \xff\xfe\n", std::nullopt},
        {std::string(1200, 'x'), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.standardError);
        EXPECT_EQ(childErrorLine(c.standardError), c.line);
    }
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
    EXPECT_EQ(bench.children("native-offline-recovery /Volumes/FERROLATCH/ferrolatch.json"), 1);
    EXPECT_EQ(bench.children("native-passwords-recovery /Volumes/FERROLATCH/ferrolatch.json"), 1);
    EXPECT_TRUE(bench.ui.alerts.empty());

    // A successful set-up scans, and the new drive opens.
    bench.machine.otherChild = [&](const std::string& words) {
        if (words == "setup-drive")
            bench.machine.add(photosDrive());
    };
    bench.statusItem.click("Set Up a Drive\u2026");
    EXPECT_EQ(bench.children("setup-drive"), 1);
    EXPECT_EQ(bench.children("mount-drive /Volumes/FERROLATCH 1/ferrolatch.json"), 1);
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
