// The moment the product exists for, with real processes on a virtual Mac: a
// set-up drive is plugged in while the menu-bar agent runs, the passkey sheet
// of the child instance is approved, and the volume opens in Finder without
// the system's own password prompt ever showing.
#include "common/build_config.h"
#include "platform/macsim/sysroot_log.h"
#include "tests/e2e/drive_test_support.h"
#include "tests/e2e/live_process.h"

#include <chrono>
#include <fstream>
#include <sys/wait.h>
#include <thread>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool exited(const LiveProcess& process)
{
    siginfo_t info {};
    return ::waitid(P_PID, static_cast<id_t>(process.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0
        && info.si_pid == process.pid();
}

// Sets up disk4 with init-drive and unplugs it; gives the data volume's UUID.
std::string setUpDetachedDrive(DriveBench& bench, const std::string& manifestPath)
{
    bench.addDisk();
    RunResult initialised = bench.initDrive("disk4", manifestPath);
    if (initialised.status != 0)
        throw std::runtime_error("init-drive failed: " + initialised.err);
    bench.mac.macsimOrThrow({"disk", "detach", "disk4"});
    return json::parse(readTextFile(manifestPath))["volumeUUID"];
}

std::string promptLine(const std::string& uuid) { return "APFSUserAgent: password prompt for volume " + uuid; }

// A drive set up and unplugged, and an agent running with one script that
// every process of the Mac answers from.
class AgentJourney : public DriveMac {
protected:
    void setUpDrive() { dataUUID = setUpDetachedDrive(*this, manifestPath); }

    void startAgent(const json& answers)
    {
        auto environment = mac.environment();
        environment["FERROLATCH_UI_SCRIPT"] = json {{"acrossProcesses", true}, {"answers", answers}}.dump();
        environment["FERROLATCH_UI_TRANSCRIPT"] = transcript;
        fs::remove(transcript);
        agent = std::make_unique<LiveProcess>(ferrolatchExecutable(), std::vector<std::string> {}, environment);
        ASSERT_TRUE(menuBarShows("Waiting for a Ferrolatch disk")) << menuBar();
    }

    std::string menuBar() { return mac.macsim({"menubar"}).out; }

    // The menu bar settles within seconds; a test that waits longer has failed.
    bool menuBarShows(const std::string& text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (contains(menuBar(), text))
                return true;
            if (exited(*agent))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void quit()
    {
        RunResult chosen = mac.macsim({"menubar", "click", "Quit Ferrolatch"});
        EXPECT_EQ(chosen.status, 0) << chosen.err;
        std::string error;
        EXPECT_EQ(agent->wait(error), 0) << error;
        EXPECT_EQ(menuBar(), "");
    }

    std::string systemLog() { return readTextFile(SysrootLog::logFile(mac.sysroot())); }

    std::string manifestPath = work + "/manifests/private.json";
    std::string dataUUID;
    std::unique_ptr<LiveProcess> agent;
};

}

TEST_F(AgentJourney, APluggedInDriveOpensAfterOnePasskeyApprovalWithoutTheSystemPrompt)
{
    setUpDrive();
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

    // Finder was asked to show the volume, and the sidebar catalog names it.
    std::string opened = readTextFile(mac.sysroot() + "/private/var/log/macsim/open.jsonl");
    EXPECT_TRUE(contains(opened, "\"Finder\"") && contains(opened, mountPoint)) << opened;
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
    setUpDrive();
    std::string sheet = "Sign in to " + std::string(relyingPartyDomain);
    startAgent(json::array({json {{"expect", sheet}, {"button", "Cancel"}},
                            json {{"expect", "Could not unlock this Ferrolatch disk"}, {"button", "OK"}}}));

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    // The status reads "(locked)" from the attach on; the scan's alert comes later.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (alertMessages().size() < 2 && std::chrono::steady_clock::now() < deadline && !exited(*agent))
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
    quit();
}

TEST_F(AgentJourney, TheMenuEjectsTheDriveUnlessAFileOnItIsOpen)
{
    setUpDrive();
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
TEST_F(DriveMac, WithoutTheAgentOrItsMarkerTheSystemPromptsForTheVolume)
{
    std::string manifestPath = work + "/manifests/private.json";
    std::string uuid = setUpDetachedDrive(*this, manifestPath);
    fs::remove(home + "/Library/Preferences/com.apple.APFSUserAgent.plist");
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    EXPECT_TRUE(contains(readTextFile(SysrootLog::logFile(mac.sysroot())), promptLine(uuid)));
    EXPECT_EQ(state()["passwordPrompts"].size(), 1u) << state()["passwordPrompts"].dump();
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
}
