// The moment the product exists for, with real processes on a virtual Mac: a
// set-up drive is plugged in while the menu-bar agent runs, the passkey sheet
// of the child instance is approved, and the volume opens in Finder without
// the system's own password prompt ever showing.
#include "common/build_config.h"
#include "tests/e2e/agent_mac.h"

#include <fstream>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

std::string promptLine(const std::string& uuid) { return "APFSUserAgent: password prompt for volume " + uuid; }

class AgentJourney : public AgentMac {};

}

TEST_F(AgentJourney, APluggedInDriveOpensAfterOnePasskeyApprovalWithoutTheSystemPrompt)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer}));

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    EXPECT_TRUE(contains(menuBar(), "  icon: FerrolatchStatusIconContour\n  tooltip: Ferrolatch \u2014 disk mounted\n"))
        << menuBar();

    std::optional<json> data = volumeNamed("PRIVATE");
    ASSERT_TRUE(data);
    EXPECT_FALSE((*data)["locked"]);
    EXPECT_TRUE((*data)["mounted"]);
    std::string mountPoint = (*data)["mountPoint"];

    // The bootstrap volume stays mounted, out of Finder's sight.
    std::optional<json> bootstrap;
    for (const json& volume : volumesOf((*data)["container"]))
        if (volume["name"] != "PRIVATE")
            bootstrap = volume;
    ASSERT_TRUE(bootstrap);
    EXPECT_TRUE((*bootstrap)["mounted"]);
    EXPECT_EQ((*bootstrap)["browsable"], false) << bootstrap->dump();

    // Finder was asked once to show the volume, and the sidebar catalog names it.
    quietPeriod();
    std::string opened = readTextFile(mac.sysroot() + "/private/var/log/macsim/open.jsonl");
    EXPECT_TRUE(contains(opened, "\"Finder\"") && contains(opened, mountPoint)) << opened;
    EXPECT_EQ(finderWindows(), 1u) << opened;
    EXPECT_EQ(children("mount-drive"), 1u);
    std::string catalog = readTextFile(home + "/Library/Group Containers/" + build::applicationGroupIdentifier
                                       + "/sidebar-volumes.json");
    EXPECT_TRUE(contains(catalog, dataUUID)) << catalog;

    // The guard held the volume until the agent's own unlock, and the
    // system's prompt never showed.
    std::string log = systemLog();
    EXPECT_TRUE(contains(log, "Ferrolatch claimed an enrolled encrypted volume before automatic handling")) << log;
    EXPECT_TRUE(contains(log, "Ferrolatch blocked an automatic mount for an enrolled encrypted volume")) << log;
    EXPECT_FALSE(contains(log, promptLine(dataUUID))) << log;
    EXPECT_EQ(state()["passwordPrompts"], json::array());

    EXPECT_EQ(alertMessages(), (std::vector<std::string> {"Sign in to " + std::string(relyingPartyDomain)
                                                          + " with your passkey"}));
    quit();
}

TEST_F(AgentJourney, ACancelledPasskeyLeavesTheVolumeLockedAndSaysSo)
{
    setUpDetachedDrive();
    std::string sheet = "Sign in to " + std::string(relyingPartyDomain);
    startAgent(json::array({json {{"expect", sheet}, {"button", "Cancel"}},
                            json {{"expect", "Could not unlock this Ferrolatch disk"}, {"button", "OK"}}}));

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    // The status reads "(locked)" from the attach on; the scan's alert comes later.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (alertMessages().size() < 2 && std::chrono::steady_clock::now() < deadline && !agent->hasExited())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(menuBarShows("Connected PRIVATE (locked)")) << menuBar() << systemLog();
    EXPECT_TRUE(contains(menuBar(), "  icon: FerrolatchStatusIcon\n")) << menuBar();
    std::optional<json> data = volumeNamed("PRIVATE");
    ASSERT_TRUE(data);
    EXPECT_TRUE((*data)["locked"]);
    EXPECT_FALSE((*data)["mounted"]);
    EXPECT_EQ(alertMessages(), (std::vector<std::string> {sheet + " with your passkey",
                                                          "Could not unlock this Ferrolatch disk"}))
        << systemLog();
    EXPECT_FALSE(contains(systemLog(), promptLine(dataUUID)));
    // The mounts the insertion made bring no second sheet.
    quietPeriod();
    EXPECT_EQ(alertMessages().size(), 2u) << systemLog();
    EXPECT_EQ(children("mount-drive"), 1u);
    quit();
}

TEST_F(AgentJourney, TheMenuEjectsTheDriveUnlessAFileOnItIsOpen)
{
    setUpDetachedDrive();
    const std::string refusal = "The volume \u201CPRIVATE\u201D can\u2019t be ejected because it\u2019s currently in use.";
    startAgent(json::array({signInAnswer, json {{"expect", "Could not eject the Ferrolatch drive"}, {"button", "OK"}}}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    ASSERT_TRUE(menuBarShows("Eject PRIVATE")) << menuBar();
    std::string mountPoint = (*volumeNamed("PRIVATE"))["mountPoint"];

    // A document open on the drive: the eject is refused as Finder refuses it
    // and the volume stays mounted, its row with it.
    std::ofstream(mountPoint + "/draft.txt") << "unsaved thoughts";
    {
        LiveProcess holder(macsimExecutable(), {"hold", mountPoint + "/draft.txt"}, mac.environment());
        ASSERT_TRUE(holder.readUntil("holding "));
        RunResult chosen = mac.macsim({"menubar", "click", "Eject PRIVATE"});
        EXPECT_EQ(chosen.status, 0) << chosen.err;
        std::vector<json> alerts;
        for (const json& line : shown())
            if (line["kind"] == "alert" && line["message"] == "Could not eject the Ferrolatch drive")
                alerts.push_back(line);
        ASSERT_EQ(alerts.size(), 1u) << readTextFile(transcript);
        EXPECT_EQ(alerts[0]["informative"], refusal);
        std::optional<json> data = volumeNamed("PRIVATE");
        EXPECT_TRUE((*data)["mounted"]);
        EXPECT_FALSE((*data)["locked"]);
        EXPECT_TRUE(contains(menuBar(), "Eject PRIVATE")) << menuBar();
        std::string error;
        EXPECT_EQ(holder.wait(error), 0) << error;
    }

    // Nothing holds it any more: the drive goes, and the menu with it.
    RunResult chosen = mac.macsim({"menubar", "click", "Eject PRIVATE"});
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    std::optional<json> data = volumeNamed("PRIVATE");
    ASSERT_TRUE(data);
    EXPECT_TRUE((*data)["locked"]);
    EXPECT_FALSE((*data)["mounted"]);
    json disks = state()["disks"];
    bool attached = true;
    for (const json& disk : disks)
        if (disk["identifier"] == "disk4")
            attached = disk["attached"];
    EXPECT_FALSE(attached) << disks.dump();
    EXPECT_FALSE(fs::exists(mountPoint));
    ASSERT_TRUE(menuBarShows("Waiting for a Ferrolatch disk")) << menuBar();
    EXPECT_FALSE(contains(menuBar(), "Eject PRIVATE")) << menuBar();
    EXPECT_TRUE(contains(menuBar(), "  icon: FerrolatchStatusIcon\n")) << menuBar();
    EXPECT_EQ(alertMessages().size(), 2u); // the passkey sheet and the one refusal
    quit();
}

// Without the agent and without the prompt-suppression marker the virtual Mac
// plays the system: its own password prompt asks for the volume.
TEST_F(AgentJourney, WithoutTheAgentOrItsMarkerTheSystemPromptsForTheVolume)
{
    setUpDetachedDrive();
    fs::remove(home + "/Library/Preferences/com.apple.APFSUserAgent.plist");
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    EXPECT_TRUE(contains(systemLog(), promptLine(dataUUID)));
    EXPECT_EQ(state()["passwordPrompts"].size(), 1u) << state()["passwordPrompts"].dump();
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
}
