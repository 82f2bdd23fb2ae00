#include "agent/agent_menu.h"
#include "agent/status_summary.h"
#include "common/build_config.h"
#include "tests/unit/agent/agent_bench.h"

#include <gtest/gtest.h>

namespace ferrolatch::testing {
namespace {

const std::string vaultUUID = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string photosUUID = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string strangerUUID = "2A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";

APFSVolume volume(std::string device, std::string uuid, std::string name, bool locked)
{
    return {std::move(device), std::move(uuid), std::move(name), true, locked};
}

struct StatusCase {
    std::string name;
    std::vector<APFSVolume> volumes;
    std::set<std::string> mounted; // devices whose mount point can be found
    bool capable;
    StatusSummary expected;
};

TEST(AgentStatus, SummarizesTheEnrolledVolumes)
{
    std::set<std::string> enrolled {vaultUUID, photosUUID};
    const StatusCase cases[] = {
        {"nothing attached", {}, {}, true, {TrayState::Closed, "Waiting for a Ferrolatch disk"}},
        {"nothing attached, no suppression", {}, {}, false, {TrayState::Closed, "macOS compatibility fallback required"}},
        {"locked", {volume("disk4s2", vaultUUID, "Vault", true)}, {}, true,
         {TrayState::Closed, "Connected Vault (locked)"}},
        {"mounted", {volume("disk4s2", vaultUUID, "Vault", false)}, {"disk4s2"}, true, {TrayState::Open, "Mounted Vault"}},
        {"locked first, mounted second",
         {volume("disk4s2", vaultUUID, "Vault", true), volume("disk5s2", photosUUID, "Photos", false)}, {"disk5s2"},
         true, {TrayState::Open, "Mounted Photos"}},
        {"two locked: the first in inventory order",
         {volume("disk5s2", photosUUID, "Photos", true), volume("disk4s2", vaultUUID, "Vault", true)}, {}, true,
         {TrayState::Closed, "Connected Photos (locked)"}},
        {"unlocked but its mount point is not found", {volume("disk4s2", vaultUUID, "Vault", false)}, {}, false,
         {TrayState::Closed, "macOS compatibility fallback required"}},
        {"inventory prints the UUID in lower case",
         {volume("disk4s2", "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9", "Vault", false)}, {"disk4s2"}, true,
         {TrayState::Open, "Mounted Vault"}},
        {"a volume that is not enrolled", {volume("disk6s2", strangerUUID, "Other", false)}, {"disk6s2"}, true,
         {TrayState::Closed, "Waiting for a Ferrolatch disk"}},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto lookup = [&](const APFSVolume& v) -> std::optional<std::string> {
            if (!c.mounted.contains(v.device))
                return std::nullopt;
            return "/Volumes/" + v.name;
        };
        EXPECT_EQ(summarizeVolumes(c.volumes, enrolled, c.capable, lookup), c.expected);
    }
}

TEST(AgentStatus, StartShowsTheClosedIconAndTheStatusOfTheConnectedDrive)
{
    AgentBench bench;
    FakeDrive drive;
    bench.enroll(drive);
    auto agent = bench.start();
    StatusButton button = bench.statusItem.button();
    ASSERT_TRUE(button.image);
    EXPECT_EQ(button.image->resourceName, "FerrolatchStatusIcon");
    EXPECT_EQ(button.image->path, "/Applications/Ferrolatch.app/Contents/Resources/FerrolatchStatusIcon.svg");
    EXPECT_EQ(button.image->width, 18);
    EXPECT_EQ(button.image->height, 18);
    EXPECT_TRUE(button.image->isTemplate);
    EXPECT_EQ(button.title, "");
    EXPECT_EQ(button.toolTip, "Ferrolatch \u2014 no mounted disk");
    EXPECT_EQ(bench.statusItem.statusLine(), "Connected Vault (locked)");
    // The catalog names the enrolled volume and its change was announced.
    EXPECT_NE(bench.files.readFile("/Users/a/Group/sidebar-volumes.json").find(drive.uuid), std::string::npos);
    EXPECT_EQ(bench.notifications.posted, 1);
}

TEST(AgentStatus, SetTrayStateAppliesOnceAndFallsBackToATitle)
{
    AgentBench bench;
    auto agent = bench.start();
    int changes = bench.statusItem.buttonChanges;
    agent->menu().setTrayState(TrayState::Closed);
    EXPECT_EQ(bench.statusItem.buttonChanges, changes);

    agent->menu().setTrayState(TrayState::Open);
    EXPECT_EQ(bench.statusItem.button().image->resourceName, "FerrolatchStatusIconContour");
    EXPECT_EQ(bench.statusItem.button().toolTip, "Ferrolatch \u2014 disk mounted");

    // A resource that is missing, and one that does not load: "◉", no image,
    // the tooltip left as it was.
    bench.paths.missingResources.insert("FerrolatchStatusIcon");
    agent->menu().setTrayState(TrayState::Closed);
    EXPECT_EQ(bench.statusItem.button().title, "\u25C9");
    EXPECT_FALSE(bench.statusItem.button().image);
    EXPECT_EQ(bench.statusItem.button().toolTip, "Ferrolatch \u2014 disk mounted");

    bench.statusItem.unloadable.insert("/Applications/Ferrolatch.app/Contents/Resources/FerrolatchStatusIconContour.svg");
    agent->menu().setTrayState(TrayState::Open);
    EXPECT_EQ(bench.statusItem.button().title, "\u25C9");
    EXPECT_FALSE(bench.statusItem.button().image);
}

TEST(AgentStatus, TheFirstTrayStateAfterStartAlwaysApplies)
{
    AgentBench bench;
    bench.paths.missingResources = {"FerrolatchStatusIcon", "FerrolatchStatusIconContour"};
    auto agent = bench.start();
    EXPECT_EQ(bench.statusItem.button().title, "\u25C9");
    EXPECT_EQ(agent->trayState(), TrayState::Closed);
}

TEST(AgentMenu, HasItsTwelveRowsInOrder)
{
    AgentBench bench;
    auto agent = bench.start();
    struct Row {
        std::string title;
        std::string key;
        bool enabled;
        bool separator;
    };
    const Row expected[] = {
        {"Waiting for a Ferrolatch disk", "", false, false},
        {"", "", false, true},
        {"Set Up a Drive\u2026", "", true, false},
        {"Scan for Ferrolatch Drives", "r", true, false},
        {"Authenticate to Show Recovery Key\u2026", "", true, false},
        {"Authenticate to Save Recovery in Passwords\u2026", "", true, false},
        {"Start at Login", "", true, false},
        {"Finder Sidebar Icons\u2026", "", true, false},
        {"", "", false, true},
        {"About Ferrolatch", "", true, false},
        {"Check for Updates\u2026", "", true, false},
        {"Quit Ferrolatch", "q", true, false},
    };
    const Menu& menu = bench.statusItem.menu();
    ASSERT_EQ(menu.rows.size(), std::size(expected));
    for (std::size_t index = 0; index < menu.rows.size(); ++index) {
        SCOPED_TRACE(index);
        const MenuRow& row = menu.rows[index];
        EXPECT_EQ(row.title, expected[index].title);
        EXPECT_EQ(row.keyEquivalent, expected[index].key);
        EXPECT_EQ(row.enabled, expected[index].enabled);
        EXPECT_EQ(row.kind == MenuRow::Kind::Separator, expected[index].separator);
        EXPECT_EQ(static_cast<bool>(row.action), expected[index].enabled);
        EXPECT_FALSE(row.checked);
    }
}

bool finderRowChecked(const AgentBench& bench)
{
    for (const MenuRow& row : bench.statusItem.menu().rows)
        if (row.title == finderSidebarTitle)
            return row.checked;
    throw std::runtime_error("no Finder row");
}

TEST(AgentMenu, TheFinderRowIsCheckedWhileTheExtensionIsEnabled)
{
    AgentBench bench;
    bench.finderSync.enabled = true;
    auto agent = bench.start();
    EXPECT_TRUE(finderRowChecked(bench)); // as the menu is built

    bench.finderSync.enabled = false;
    bench.statusItem.click("Scan for Ferrolatch Drives");
    EXPECT_FALSE(finderRowChecked(bench)); // and each time it opens

    bench.finderSync.enabled = true;
    bench.statusItem.click("Scan for Ferrolatch Drives");
    EXPECT_TRUE(finderRowChecked(bench));
}

TEST(AgentMenu, TheFinderRowOpensTheExtensionSettingsAndShowsAFailure)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.statusItem.click("Finder Sidebar Icons\u2026");
    EXPECT_EQ(bench.finderSync.settingsShown, 1);
    EXPECT_TRUE(bench.ui.alerts.empty());

    bench.finderSync.failShow = true;
    bench.statusItem.click("Finder Sidebar Icons\u2026");
    EXPECT_EQ(bench.finderSync.settingsShown, 1);
    ASSERT_EQ(bench.ui.alerts.size(), 1u);
    const ShownAlert& alert = bench.ui.alerts.front();
    EXPECT_EQ(alert.style, AlertStyle::Warning);
    EXPECT_EQ(alert.messageText, "Could not open the Finder sidebar settings");
    EXPECT_EQ(alert.informativeText, "The operation was cancelled.");
    ASSERT_EQ(alert.buttons.size(), 1u);
    EXPECT_EQ(alert.buttons.front().title, "OK");
    // Brought to the front before the alert.
    auto shown = std::find(bench.events.begin(), bench.events.end(),
                           "alert: " + alert.messageText + " | " + alert.informativeText);
    ASSERT_NE(shown, bench.events.begin());
    EXPECT_EQ(*(shown - 1), "activate");
}

TEST(AgentMenu, OpeningTheMenuRefreshesTheStatusAndQuitEndsTheLoop)
{
    AgentBench bench;
    FakeDrive drive;
    bench.enroll(drive);
    auto agent = bench.start();
    bench.machine.drives.front().locked = false;
    bench.statusItem.click("Quit Ferrolatch");
    EXPECT_EQ(bench.statusItem.statusLine(), "Mounted Vault");
    EXPECT_EQ(agent->trayState(), TrayState::Open);
    EXPECT_EQ(bench.loop.stops, 1);
}

TEST(AgentStart, InstallsPromptSuppressionBeforeTheGuardAndQueuesAScan)
{
    AgentBench bench;
    FakeDrive vault;
    FakeDrive photos;
    photos.uuid = photosUUID;
    photos.disk = "disk5";
    photos.name = "Photos";
    photos.bootstrapPath = "/Volumes/FERROLATCH 1";
    registerDrive(bench.files, bench.paths, bench.suppression, driveManifest(vault));
    registerDrive(bench.files, bench.paths, bench.suppression, driveManifest(photos));
    bench.suppression.installed.clear();
    bench.suppression.dismissals = 0;
    bench.suppression.installFailure = "the preference could not be written";

    auto agent = bench.start();
    EXPECT_EQ(bench.suppression.installed, (std::vector<std::string> {vaultUUID, photosUUID}));
    EXPECT_EQ(bench.suppression.dismissals, 0); // no install returned true
    EXPECT_EQ(bench.log.lines.at(0), "Ferrolatch could not install APFS prompt suppression for " + vaultUUID
                                         + ": the preference could not be written");
    EXPECT_TRUE(bench.blocked(*agent, vault));
    EXPECT_TRUE(bench.blocked(*agent, photos));
    EXPECT_FALSE(agent->scanning());
    // The first scan waits for the main loop.
    EXPECT_EQ(bench.loop.pendingTimers(), 1u);
}

TEST(AgentStart, DismissesTheStaleAgentOnceAndStopsWithoutADiskArbitrationSession)
{
    AgentBench bench;
    bench.enroll(FakeDrive {});
    bench.suppression.dismissals = 0;
    bench.suppression.dismissFailure = "killall failed";
    auto agent = bench.start();
    EXPECT_EQ(bench.suppression.dismissals, 1);
    EXPECT_EQ(bench.log.lines.at(0), "Ferrolatch could not dismiss the stale APFS password agent: killall failed");

    AgentBench without;
    without.arbitration.available = false;
    EXPECT_THROW(
        {
            try {
                without.start();
            } catch (const ProofError& error) {
                EXPECT_STREQ(error.what(), "Ferrolatch could not create a Disk Arbitration session");
                throw;
            }
        },
        ProofError);
}

TEST(AgentStart, PreparesTheApplicationThenRunsTheLoopUntilQuit)
{
    AgentBench bench;
    runAgent(bench.platform, bench.suppression, [] { return true; });
    ASSERT_FALSE(bench.events.empty());
    EXPECT_EQ(bench.events.front(), "prepare application");
    // The agent lived only as long as the loop ran: nothing it queued runs now.
    EXPECT_EQ(bench.volumeEvents.removed.size(), 1u);
    bench.events.clear();
    bench.loop.advance(5);
    EXPECT_TRUE(bench.events.empty());
}

long inventoryReads(const AgentBench& bench) { return bench.count("diskutil apfs list -plist"); }

// A refresh reads the inventory once, for the eject rows and the status line
// alike; a scan reads it once for itself, then refreshes.
constexpr long readsPerRefresh = 1;
constexpr long readsPerScan = 2;

TEST(AgentTimers, TwoUnmountsWithinTheDelayRefreshOnce)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.loop.advance(0); // the first scan
    long before = inventoryReads(bench);
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    bench.loop.advance(0.5);
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    bench.loop.advance(0.74);
    EXPECT_EQ(inventoryReads(bench), before);
    bench.loop.advance(0.02);
    EXPECT_EQ(inventoryReads(bench), before + readsPerRefresh);
    bench.loop.advance(5);
    EXPECT_EQ(inventoryReads(bench), before + readsPerRefresh);
}

TEST(AgentTimers, AMountCancelsThePendingRefreshAndScansLater)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.loop.advance(0);
    bench.events.clear();
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    bench.loop.advance(0.25);
    bench.volumeEvents.fire(VolumeEventKind::DidMount);
    bench.loop.advance(0.7);
    EXPECT_TRUE(bench.events.empty());
    // 0.75 s after the mount: a scan, which with nothing found refreshes once.
    bench.loop.advance(0.06);
    EXPECT_EQ(inventoryReads(bench), readsPerScan);
    bench.loop.advance(5);
    EXPECT_EQ(inventoryReads(bench), readsPerScan);
}

TEST(AgentTimers, ARefreshDuringAScanWaitsHalfASecond)
{
    AgentBench bench;
    FakeDrive drive;
    bench.enroll(drive);
    // Only the timers of this scan: the mounts it makes are heard elsewhere.
    bench.machine.announce = [](VolumeEventKind) {};
    auto agent = bench.start();
    bench.machine.duringChild = [&](FakeDrive&) {
        bench.events.push_back("child");
        agent->refreshStatus();
        agent->refreshStatus();
    };
    bench.loop.advance(0);
    auto child = std::find(bench.events.begin(), bench.events.end(), "child");
    ASSERT_NE(child, bench.events.end());
    // While the scan went on, each refresh rebuilt only the eject rows (the
    // drive is still locked, so there is nothing to describe); the status
    // line waits, and the scan's own inventory comes next.
    EXPECT_EQ(Events(child + 1, child + 4), (Events {"diskutil apfs list -plist", "diskutil apfs list -plist",
                                                    "diskutil apfs list -plist"}));
    EXPECT_EQ(bench.loop.pendingTimers(), 1u);
    long after = inventoryReads(bench);
    bench.loop.advance(0.49);
    EXPECT_EQ(inventoryReads(bench), after);
    bench.loop.advance(0.02);
    EXPECT_EQ(inventoryReads(bench), after + readsPerRefresh);
}

TEST(AgentTimers, AFailingTaskIsLoggedAndTheAgentGoesOn)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.statusItem.failing = true;
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    EXPECT_NO_THROW(bench.loop.advance(1));
    ASSERT_FALSE(bench.log.lines.empty());
    EXPECT_TRUE(bench.log.lines.back().starts_with("Ferrolatch could not finish a menu-bar task: "))
        << bench.log.lines.back();
    bench.statusItem.failing = false;
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    bench.loop.advance(1);
    EXPECT_FALSE(agent->scanning());
}

TEST(AgentTimers, DelayedTasksDoNothingOnceTheAgentIsGone)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.volumeEvents.fire(VolumeEventKind::DidMount);
    bench.volumeEvents.fire(VolumeEventKind::DidUnmount);
    agent.reset();
    EXPECT_EQ(bench.volumeEvents.removed, (std::vector<VolumeEvents::Token> {7}));
    bench.events.clear();
    bench.loop.advance(5);
    EXPECT_TRUE(bench.events.empty());
}

TEST(AgentMenu, StartAtLoginTogglesItsCheckMarkAndAFailedRegistrationLeavesIt)
{
    AgentBench bench;
    auto agent = bench.start();
    auto checked = [&] {
        for (const MenuRow& row : bench.statusItem.menu().rows)
            if (row.title == "Start at Login")
                return row.checked;
        throw std::runtime_error("no Start at Login row");
    };
    EXPECT_FALSE(checked());
    bench.statusItem.click("Start at Login");
    EXPECT_EQ(bench.loginItem.current, LoginItemStatus::Enabled);
    EXPECT_TRUE(checked());
    bench.statusItem.click("Start at Login");
    EXPECT_FALSE(checked());

    bench.loginItem.failure = PlatformError("SMAppServiceErrorDomain", 1, "Operation not permitted");
    bench.statusItem.click("Start at Login");
    EXPECT_FALSE(checked());
    ASSERT_EQ(bench.ui.alerts.size(), 1u);
    EXPECT_EQ(bench.ui.alerts.front().informativeText, "Operation not permitted");
    EXPECT_EQ(bench.ui.alerts.front().style, AlertStyle::Warning);
}

TEST(AgentMenu, AboutShowsItsWindowAndUpdatesOpenTheProductPage)
{
    AgentBench bench;
    auto agent = bench.start();
    bench.statusItem.click("About Ferrolatch");
    ASSERT_EQ(bench.ui.alerts.size(), 1u);
    EXPECT_EQ(bench.ui.alerts.front().style, AlertStyle::Informational);
    bench.statusItem.click("Check for Updates\u2026");
    ASSERT_FALSE(bench.events.empty());
    EXPECT_EQ(bench.events.back().rfind("open https://" + std::string(build::relyingPartyDomain) + "/", 0), 0u)
        << bench.events.back();
}

}
}
