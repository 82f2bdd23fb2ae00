#include "agent/agent_menu.h"
#include "tests/unit/agent/agent_bench.h"

#include <gtest/gtest.h>

namespace ferrolatch::testing {
namespace {

const std::string ejectFailureTitle = "Could not eject the Ferrolatch drive";

FakeDrive mountedDrive(std::string name, std::string disk, std::string uuid)
{
    FakeDrive drive;
    drive.name = std::move(name);
    drive.disk = std::move(disk);
    drive.uuid = std::move(uuid);
    drive.locked = false;
    return drive;
}

FakeDrive vault() { return mountedDrive("Vault", "disk4", "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9"); }

std::vector<std::string> titles(const Menu& menu)
{
    std::vector<std::string> found;
    for (const MenuRow& row : menu.rows)
        found.push_back(row.title);
    return found;
}

std::vector<std::string> ejectTitles(const Menu& menu)
{
    std::vector<std::string> found;
    for (const MenuRow& row : menu.rows)
        if (row.tag == ejectMenuTag)
            found.push_back(row.title);
    return found;
}

// The row's action as the menu holds it now, to be chosen later without the
// refresh that opening the menu brings.
std::function<void()> rowAction(const Menu& menu, const std::string& title)
{
    for (const MenuRow& row : menu.rows)
        if (row.title == title)
            return row.action;
    throw std::runtime_error("no row " + title);
}

TEST(AgentEject, EachMountedEnrolledVolumeGetsARowUnderTheStatusLine)
{
    AgentBench bench;
    FakeDrive drive = bench.enroll(vault());
    auto agent = bench.start();

    const Menu& menu = bench.statusItem.menu();
    ASSERT_EQ(menu.rows.size(), 13u);
    EXPECT_EQ(menu.rows[0].title, "Mounted Vault");
    const MenuRow& row = menu.rows[1];
    EXPECT_EQ(row.title, "Eject Vault");
    EXPECT_EQ(row.tag, ejectMenuTag);
    EXPECT_EQ(row.representedObject, drive.uuid);
    EXPECT_TRUE(row.enabled);
    EXPECT_TRUE(row.action);
    EXPECT_EQ(row.keyEquivalent, "");
    EXPECT_EQ(menu.rows[2].kind, MenuRow::Kind::Separator);
    EXPECT_EQ(menu.rows.back().title, "Quit Ferrolatch");

    // Refreshing again replaces the row instead of adding one.
    agent->refreshStatus();
    agent->refreshStatus();
    EXPECT_EQ(ejectTitles(bench.statusItem.menu()), std::vector<std::string> {"Eject Vault"});
    EXPECT_EQ(bench.statusItem.menu().rows.size(), 13u);
}

struct RowCase {
    std::string name;
    std::vector<FakeDrive> drives;
    std::vector<std::string> expected;
};

TEST(AgentEject, RowsFollowTheVolumesThatCanBeEjected)
{
    FakeDrive locked = vault();
    locked.locked = true;
    FakeDrive fileVaultOff = vault();
    fileVaultOff.dataFileVault = false;
    FakeDrive internal = vault();
    internal.dataInternal = true;
    const RowCase cases[] = {
        {"nothing attached", {}, {}},
        {"a locked volume", {locked}, {}},
        {"FileVault false", {fileVaultOff}, {}},
        {"internal storage", {internal}, {}},
        {"Volume 2 before Volume 10",
         {mountedDrive("Volume 10", "disk4", "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9"),
          mountedDrive("Volume 2", "disk5", "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9"),
          mountedDrive("archive", "disk6", "2A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9")},
         {"Eject archive", "Eject Volume 2", "Eject Volume 10"}},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBench bench;
        for (const FakeDrive& drive : c.drives)
            bench.enroll(drive);
        auto agent = bench.start();
        const Menu& menu = bench.statusItem.menu();
        EXPECT_EQ(ejectTitles(menu), c.expected);
        // The rows sit directly under the status line, in that order.
        std::vector<std::string> all = titles(menu);
        EXPECT_EQ(std::vector<std::string>(all.begin() + 1, all.begin() + 1 + static_cast<long>(c.expected.size())),
                  c.expected);
        EXPECT_EQ(menu.rows.size(), 12 + c.expected.size());
    }
}

TEST(AgentEject, ARowEjectsItsDriveAndGoesAway)
{
    AgentBench bench;
    FakeDrive& drive = bench.enroll(vault());
    bench.workspace.onEject = [&](const std::string&) { bench.machine.drive("Vault").attached = false; };
    auto agent = bench.start();
    ASSERT_EQ(bench.statusItem.statusLine(), "Mounted Vault");

    bench.statusItem.click("Eject Vault");
    EXPECT_EQ(bench.count("eject " + drive.dataMountPoint()), 1);
    EXPECT_TRUE(bench.ui.alerts.empty());
    EXPECT_TRUE(ejectTitles(bench.statusItem.menu()).empty());
    EXPECT_EQ(bench.statusItem.statusLine(), "Waiting for a Ferrolatch disk");
    EXPECT_EQ(agent->trayState(), TrayState::Closed);
}

struct FailureCase {
    std::string name;
    std::function<void(AgentBench&)> meanwhile; // after the menu showed the row, before it is chosen
    std::string description;
    std::vector<std::string> rowsAfter;
};

TEST(AgentEject, AFailedEjectShowsTheAlertAndTheRowFollowsTheVolume)
{
    const FailureCase cases[] = {
        {"unmounted elsewhere", [](AgentBench& bench) { bench.machine.drive("Vault").attached = false; },
         "This Ferrolatch drive is no longer mounted.", {}},
        {"locked elsewhere", [](AgentBench& bench) { bench.machine.drive("Vault").locked = true; },
         "This Ferrolatch drive is no longer mounted.", {}},
        {"in use",
         [](AgentBench& bench) {
             bench.workspace.onEject = [](const std::string&) {
                 throw PlatformError("NSOSStatusErrorDomain", -47,
                                     "The volume \u201CVault\u201D can\u2019t be ejected because it\u2019s currently in use.");
             };
         },
         "The volume \u201CVault\u201D can\u2019t be ejected because it\u2019s currently in use.", {"Eject Vault"}},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBench bench;
        bench.enroll(vault());
        auto agent = bench.start();
        std::function<void()> chosen = rowAction(bench.statusItem.menu(), "Eject Vault");
        c.meanwhile(bench);
        chosen();
        ASSERT_EQ(bench.ui.alerts.size(), 1u);
        EXPECT_EQ(bench.ui.alerts[0].messageText, ejectFailureTitle);
        EXPECT_EQ(bench.ui.alerts[0].informativeText, c.description);
        EXPECT_EQ(bench.ui.alerts[0].style, AlertStyle::Warning);
        // The refresh after the alert brings the rows up to date.
        EXPECT_EQ(ejectTitles(bench.statusItem.menu()), c.rowsAfter);
    }
}

TEST(AgentEject, ARowChosenDuringAScanIsIgnored)
{
    AgentBench bench;
    bench.enroll(vault());
    FakeDrive locked;
    locked.name = "Photos";
    locked.disk = "disk5";
    locked.uuid = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    locked.bootstrapPath = "/Volumes/FERROLATCH 1";
    bench.enroll(locked);
    auto agent = bench.start();
    std::function<void()> chosen = rowAction(bench.statusItem.menu(), "Eject Vault");
    bool scanning = false;
    bench.machine.duringChild = [&](FakeDrive&) {
        scanning = agent->scanning();
        chosen();
    };
    bench.loop.advance(0);
    ASSERT_TRUE(scanning);
    EXPECT_EQ(bench.count("eject /Volumes/Vault"), 0);
    EXPECT_TRUE(bench.ui.alerts.empty());

    // Once the scan is over the same row works.
    chosen();
    EXPECT_EQ(bench.count("eject /Volumes/Vault"), 1);
}

TEST(AgentEject, ARowWithoutAUUIDDoesNothing)
{
    AgentBench bench;
    bench.enroll(vault());
    auto agent = bench.start();
    MenuRow row;
    row.tag = ejectMenuTag;
    std::size_t before = bench.events.size();
    agent->menu().ejectDrive(row);
    EXPECT_EQ(bench.events.size(), before);
}

}
}
