#pragma once

// A virtual Mac with a set-up drive and the real menu-bar agent running, read
// through its menu bar: the fixture of the agent's end-to-end journeys.
#include "platform/macsim/sysroot_log.h"
#include "tests/e2e/drive_test_support.h"
#include "tests/e2e/live_process.h"

#include <chrono>
#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

namespace ferrolatch::e2e::drive {

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Things settle within seconds; a test that waits longer has failed.
inline bool eventually(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

class AgentMac : public DriveMac {
protected:
    // Sets up disk4 with init-drive and unplugs it; keeps the data volume's UUID.
    void setUpDetachedDrive()
    {
        addDisk();
        RunResult initialised = initDrive("disk4", manifestPath);
        if (initialised.status != 0)
            throw std::runtime_error("init-drive failed: " + initialised.err);
        mac.macsimOrThrow({"disk", "detach", "disk4"});
        dataUUID = json::parse(readTextFile(manifestPath))["volumeUUID"];
    }

    // Starts the agent with one script that every process of the Mac answers from.
    void startAgent(const json& answers)
    {
        auto environment = mac.environment();
        environment["FERROLATCH_UI_SCRIPT"] = json {{"acrossProcesses", true}, {"answers", answers}}.dump();
        environment["FERROLATCH_UI_TRANSCRIPT"] = transcript;
        fs::remove(transcript);
        agent = std::make_unique<LiveProcess>(ferrolatchExecutable(), std::vector<std::string> {}, environment);
        ASSERT_TRUE(menuBarShows("Quit Ferrolatch")) << menuBar();
        settle();
    }

    // Returns once the agent has done what it had queued, its start-up scan
    // among them: a row chosen from the menu runs after every earlier task.
    // The drive a test plugs in then meets an agent at rest.
    void settle()
    {
        RunResult chosen = mac.macsim({"menubar", "click", "Scan for Ferrolatch Drives"});
        ASSERT_EQ(chosen.status, 0) << chosen.err;
    }

    // The child instances the agent started with these words.
    std::size_t children(const std::string& command)
    {
        std::size_t started = 0;
        for (const json& call : audit()) {
            if (call["tool"] != "open")
                continue;
            std::vector<std::string> words = call["argv"];
            started += std::find(words.begin(), words.end(), command) != words.end();
        }
        return started;
    }
    std::size_t finderWindows()
    {
        std::string opened = mac.sysroot() + "/private/var/log/macsim/open.jsonl";
        std::size_t windows = 0;
        for (const json& line : fs::exists(opened) ? jsonLines(readTextFile(opened)) : std::vector<json> {})
            windows += line["application"] == "Finder";
        return windows;
    }
    // Waits until the transcript holds this many alerts; an agent that ended shows no more.
    bool alertsShown(std::size_t count)
    {
        return eventually([&] { return alertMessages().size() >= count || agent->hasExited(); })
            && alertMessages().size() >= count;
    }
    // Long enough for every mount the insertion made to have brought its scan.
    static void quietPeriod() { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); }

    std::string menuBar() { return mac.macsim({"menubar"}).out; }

    // Waits for the text; an agent that ended will never show it.
    bool menuBarShows(const std::string& text)
    {
        return eventually([&] { return contains(menuBar(), text) || agent->hasExited(); })
            && contains(menuBar(), text);
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
