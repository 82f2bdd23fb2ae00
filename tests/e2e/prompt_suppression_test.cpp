// Registration and the APFS prompt suppression against a fresh virtual Mac:
// the real preference file, the stand-in pgrep and killall, and a running
// APFSUserAgent process started the way launchd starts it.
#include "common/constants.h"
#include "app/prompt_suppression.h"
#include "crypto/drive_registry.h"
#include "crypto/manifest.h"
#include "disk/system_tools.h"
#include "platform/macsim/macsim_preferences.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/posix_tool_runner.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;

namespace {

const std::string lowerUUID = "6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
const std::string upperUUID = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";

std::string onlyUser(const std::string& sysroot)
{
    std::vector<std::string> users;
    for (const auto& entry : std::filesystem::directory_iterator(sysroot + "/Users"))
        users.push_back(entry.path().string());
    if (users.size() != 1)
        throw std::runtime_error("expected one user in the virtual Mac");
    return users[0];
}

// The adapters the program uses on the virtual Mac, pointed at one sysroot.
struct Services {
    explicit Services(const VirtualMac& mac)
        : home(onlyUser(mac.sysroot())), paths("", mac.sysroot(), home),
          preferences(home + "/Library/Preferences"), tools(mac.sysroot(), {tools::pgrep, tools::killall})
    {
    }
    PromptSuppressionServices suppression()
    {
        return {files, paths, preferences, tools, static_cast<std::uint32_t>(getuid())};
    }

    std::string home;
    PosixFiles files;
    PosixPaths paths;
    MacsimPreferences preferences;
    PosixToolRunner tools;
};

Manifest nativeVolume()
{
    Manifest manifest;
    manifest.version = 1;
    manifest.relyingPartyID = std::string(relyingPartyDomain);
    manifest.credentialID = "Y3JlZGVudGlhbA";
    manifest.prfSalt = std::string(43, 'S');
    manifest.wrappedPassword = std::string(95, 'W');
    manifest.createdAt = "2026-01-31T09:15:00Z";
    manifest.resourceKind = "native-apfs-volume";
    manifest.volumeUUID = lowerUUID;
    manifest.volumeName = "PRIVATE";
    return manifest;
}

int startAgent(const VirtualMac& mac) { return std::stoi(mac.macsimOrThrow({"agent", "start"})); }

bool alive(int pid)
{
    // A dismissed agent may linger as a zombie until its reaper runs: that is gone too.
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("State:", 0) == 0)
            return line.find('Z') == std::string::npos;
    return false;
}

int killallCalls(const VirtualMac& mac)
{
    std::string audit = mac.macsimOrThrow({"audit"});
    int count = 0;
    for (std::size_t at = audit.find("\"tool\":\"killall\""); at != std::string::npos;
         at = audit.find("\"tool\":\"killall\"", at + 1))
        ++count;
    return count;
}

}

TEST(PromptSuppressionOnTheVirtualMac, RegistrationMarksTheVolumeAndDismissesTheRunningAgent)
{
    VirtualMac mac;
    Services services(mac);
    ASSERT_TRUE(apfsPromptSuppressionCapable(services.files, services.paths));
    int agent = startAgent(mac);
    ASSERT_EQ(runningAPFSUserAgentPIDs(services.tools, static_cast<std::uint32_t>(getuid())),
              std::set<std::int32_t> {agent});

    APFSPromptSuppression suppression(services.suppression());
    registerDrive(services.files, services.paths, suppression, nativeVolume());

    // The entry, private and named by the upper-case UUID.
    std::string drives = services.home + "/Library/Application Support/Ferrolatch/Drives";
    struct stat info {};
    ASSERT_EQ(stat(drives.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((drives + "/" + upperUUID + ".json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(registeredVolumeUUIDs(services.files, services.paths), std::set<std::string> {upperUUID});

    // The marker, in the agent's own preference file, as a fresh reader sees it.
    std::string plist = services.home + "/Library/Preferences/com.apple.APFSUserAgent.plist";
    std::string xml = readTextFile(plist);
    EXPECT_NE(xml.find("<key>" + upperUUID + "</key>"), std::string::npos);
    EXPECT_NE(xml.find("<key>DontUnlockVolume</key>"), std::string::npos);
    EXPECT_NE(xml.find("<string>2999-01-01 00:00:00</string>"), std::string::npos);

    // The agent that ran with the old preference is gone.
    EXPECT_FALSE(alive(agent));
    EXPECT_TRUE(runningAPFSUserAgentPIDs(services.tools, static_cast<std::uint32_t>(getuid())).empty());
    EXPECT_EQ(killallCalls(mac), 1);

    // A second registration changes nothing, so the new agent keeps running.
    int restarted = startAgent(mac);
    MacsimPreferences freshProcess(services.home + "/Library/Preferences");
    PromptSuppressionServices second {services.files, services.paths, freshProcess, services.tools,
                                      static_cast<std::uint32_t>(getuid())};
    APFSPromptSuppression again(second);
    registerDrive(services.files, services.paths, again, nativeVolume());
    EXPECT_TRUE(alive(restarted));
    EXPECT_EQ(killallCalls(mac), 1);
}

TEST(PromptSuppressionOnTheVirtualMac, WithoutRunningAgentsNothingIsStopped)
{
    VirtualMac mac;
    Services services(mac);
    EXPECT_TRUE(installAPFSPromptSuppression(services.suppression(), lowerUUID));
    dismissStaleAPFSUserAgent(services.suppression());
    EXPECT_EQ(killallCalls(mac), 0);
}

TEST(PromptSuppressionOnTheVirtualMac, EveryOldAgentIsWaitedFor)
{
    VirtualMac mac;
    Services services(mac);
    int first = startAgent(mac);
    int second = startAgent(mac);
    dismissStaleAPFSUserAgent(services.suppression());
    EXPECT_FALSE(alive(first));
    EXPECT_FALSE(alive(second));
}

TEST(PromptSuppressionOnTheVirtualMac, AnOlderMacWithoutTheCapabilityIsRefusedBeforeAnyWrite)
{
    VirtualMac mac({"--no-prompt-suppression"});
    Services services(mac);
    EXPECT_FALSE(apfsPromptSuppressionCapable(services.files, services.paths));
    try {
        installAPFSPromptSuppression(services.suppression(), lowerUUID);
        ADD_FAILURE() << "installed on a Mac without the capability";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(),
                     "this macOS build does not expose the per-volume APFS prompt suppression used by Ferrolatch");
    }
    EXPECT_FALSE(std::filesystem::exists(services.home + "/Library/Preferences/com.apple.APFSUserAgent.plist"));

    // Registration still leaves its entry, then reports the missing capability.
    APFSPromptSuppression suppression(services.suppression());
    EXPECT_THROW(registerDrive(services.files, services.paths, suppression, nativeVolume()), ProofError);
    EXPECT_EQ(registeredVolumeUUIDs(services.files, services.paths), std::set<std::string> {upperUUID});
}
