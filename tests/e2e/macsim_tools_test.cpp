#include "tests/e2e/macsim_test_support.h"

#include <chrono>
#include <set>
#include <thread>

using namespace macsim;
using namespace macsim::testing;
using ferrolatch::e2e::readTextFile;

namespace {

void addStick(const VirtualMac& mac)
{
    mac.macsimOrThrow({"disk", "add", "--media", "Stick", "--size", "256m", "--bus", "USB"});
}

RunResult withEnvironment(const VirtualMac& mac, const std::string& macPath, const std::vector<std::string>& arguments,
    std::map<std::string, std::string> extra)
{
    auto environment = mac.environment();
    environment.insert(extra.begin(), extra.end());
    return ferrolatch::e2e::run(mac.sysroot() + macPath, arguments, environment);
}

bool waitFor(const std::function<bool()>& condition)
{
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}

TEST(MacsimTools, FaultFailsOnlyTheNthMatchingCallAndOnlyOnce)
{
    VirtualMac mac;
    addStick(mac);
    mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "info -plist", "--nth", "2", "--exit",
        "3", "--stderr", "Could not find disk: disk4"});

    EXPECT_EQ(mac.tool(diskutil, {"apfs", "list", "-plist"}).status, 0); // another prefix: not counted
    EXPECT_EQ(mac.tool(diskutil, {"info", "-plist", "disk4"}).status, 0);
    RunResult second = mac.tool(diskutil, {"info", "-plist", "disk4"});
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.err, "Could not find disk: disk4\n");
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(mac.tool(diskutil, {"info", "-plist", "disk4"}).status, 0);

    mac.macsimOrThrow({"fault", "add", "--tool", "hdiutil", "--args-prefix", ""});
    RunResult anyCall = mac.tool(hdiutil, {"detach", "disk9"});
    EXPECT_EQ(anyCall.status, 1);
    EXPECT_EQ(anyCall.err, "");
    mac.macsimOrThrow({"fault", "add", "--tool", "sync", "--args-prefix", ""});
    mac.macsimOrThrow({"fault", "clear"});
    EXPECT_EQ(mac.tool("/bin/sync", {}).status, 0);

    EXPECT_EQ(mac.macsim({"fault", "add", "--tool", "fsck", "--args-prefix", "x"}).status, 1);
    EXPECT_EQ(mac.macsim({"fault", "add", "--tool", "diskutil", "--nth", "0"}).status, 1);
    EXPECT_EQ(mac.macsim({"fault", "add", "--tool", "diskutil", "--exit", "256"}).status, 1);
}

TEST(MacsimTools, SetDiskFaultSwapsTheDiskJustBeforeTheNthInfoCall)
{
    VirtualMac mac;
    addStick(mac);
    mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "info -plist disk4", "--nth", "2",
        "--set-disk", "disk4", "MediaName", "Swapped stick"});
    EXPECT_EQ(text(info(mac, "disk4"), "MediaName"), "Stick");
    EXPECT_EQ(text(info(mac, "disk4"), "MediaName"), "Swapped stick");
    EXPECT_EQ(text(info(mac, "disk4"), "MediaName"), "Swapped stick");

    RunResult badKey = mac.macsim({"fault", "add", "--tool", "diskutil", "--args-prefix", "info", "--set-disk", "disk4",
        "Colour", "red"});
    EXPECT_EQ(badKey.status, 1);
}

TEST(MacsimTools, AuditRecordsEveryCallWithoutItsStandardInput)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    const std::string password = "audit-canary-7f3a9";
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", password).status, 0);
    mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "apfs lockVolume", "--exit", "5"});
    EXPECT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 5);
    EXPECT_EQ(unlock(mac, "disk5s9", password).status, 1);
    EXPECT_EQ(unlock(mac, "disk5s2", "").status, 1); // a bare line feed is still input

    auto lines = auditLines(mac);
    ASSERT_EQ(lines.size(), 5u);
    struct Row {
        std::vector<std::string> argv;
        bool stdinSupplied;
        int status;
    };
    const Row rows[] = {
        {{"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"}, false, 0},
        {{"apfs", "addVolume", "disk5", "APFS", "PRIVATE", "-stdinpassphrase", "-passphraseHint",
             "Ferrolatch passkey or recovery password"},
            true, 0},
        {{"apfs", "lockVolume", "disk5s2"}, false, 5},
        {{"apfs", "unlockVolume", "disk5s9", "-stdinpassphrase"}, true, 1},
        {{"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, true, 1},
    };
    for (std::size_t index = 0; index < lines.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(lines[index]["tool"], "diskutil");
        EXPECT_EQ(lines[index]["argv"].get<std::vector<std::string>>(), rows[index].argv);
        EXPECT_EQ(lines[index]["stdin"], rows[index].stdinSupplied);
        EXPECT_EQ(lines[index]["status"], rows[index].status);
    }
    EXPECT_EQ(mac.macsimOrThrow({"audit"}).find(password), std::string::npos);
    // Nor does the password rest anywhere in the virtual Mac's files.
    for (const auto& [path, description] : snapshot(mac.sysroot()))
        EXPECT_EQ(description.find(password), std::string::npos) << path;
}

TEST(MacsimTools, DittoCopiesModesLinksAndFlagsAndRespectsImmutability)
{
    VirtualMac mac;
    std::string source = mac.sysroot() + "/Users/backup";
    ::mkdir(source.c_str(), 0755);
    ::mkdir((source + "/nested").c_str(), 0700);
    writeFile(source + "/nested/secret.txt", "nested", 0600);
    writeFile(source + "/hidden", "h", 0444);
    setEmulatedFlags(source + "/hidden", "32768");
    ::symlink("nested/secret.txt", (source + "/link").c_str());

    std::string destination = mac.sysroot() + "/Volumes/restore/deeper";
    RunResult copied = mac.tool("/usr/bin/ditto", {source, destination});
    ASSERT_EQ(copied.status, 0) << describe(copied);
    EXPECT_EQ(snapshot(destination), snapshot(source));

    writeFile(destination + "/hidden", "h", 0444);
    setEmulatedFlags(destination + "/hidden", "32770");
    RunResult refused = mac.tool("/usr/bin/ditto", {source, destination});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "ditto: " + destination + "/hidden: Operation not permitted\n");

    RunResult missing = mac.tool("/usr/bin/ditto", {source + "/none", destination});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "ditto: " + source + "/none: No such file or directory\n");
}

TEST(MacsimTools, OpenStartsABundleWaitsAndPassesItsStatus)
{
    VirtualMac mac;
    std::string bundle = mac.sysroot() + "/Applications/Probe.app";
    ASSERT_EQ(::system(("mkdir -p '" + bundle + "/Contents/MacOS'").c_str()), 0);
    writeFile(bundle + "/Contents/Info.plist",
        toXml(Plist::Dictionary {{"CFBundleExecutable", "probe"}, {"CFBundleIdentifier", "test.probe"}}));
    std::string record = mac.sysroot() + "/probe-record";
    writeFile(bundle + "/Contents/MacOS/probe",
        "#!/bin/sh\nprintf '%s|' \"$@\" > \"$PROBE_RECORD\"\nprintf '%s' \"$FERROLATCH_SYSROOT\" >> \"$PROBE_RECORD\"\n"
        "exit 7\n",
        0755);

    RunResult opened = withEnvironment(mac, "/usr/bin/open",
        {"-n", "-W", bundle, "--args", "mount-drive", "/path with spaces/m.json"}, {{"PROBE_RECORD", record}});
    EXPECT_EQ(opened.status, 7);
    EXPECT_EQ(readTextFile(record), "mount-drive|/path with spaces/m.json|" + mac.sysroot());

    RunResult missing = mac.tool("/usr/bin/open", {"-n", "-W", mac.sysroot() + "/None.app", "--args", "x"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "The file " + mac.sysroot() + "/None.app does not exist.\n");
}

TEST(MacsimTools, OpenRefusesAnApplicationItCannotStart)
{
    VirtualMac mac;
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int level = 0; level < 100000; ++level)
        deep += "<array>";
    struct Case {
        const char* name;
        std::string infoPlist; // empty: none at all
        bool executablePresent;
    };
    const Case cases[] = {
        {"no Info.plist", "", true},
        {"no CFBundleExecutable", toXml(Plist::Dictionary {{"CFBundleIdentifier", "test.broken"}}), true},
        {"executable missing", toXml(Plist::Dictionary {{"CFBundleExecutable", "probe"}}), false},
        {"Info.plist nested past any parser's stack", deep, true},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bundle = mac.sysroot() + "/Applications/Broken" + std::to_string(index++) + ".app";
        ASSERT_EQ(::system(("mkdir -p '" + bundle + "/Contents/MacOS'").c_str()), 0);
        if (!c.infoPlist.empty())
            writeFile(bundle + "/Contents/Info.plist", c.infoPlist);
        if (c.executablePresent)
            writeFile(bundle + "/Contents/MacOS/probe", "#!/bin/sh\nexit 0\n", 0755);
        RunResult opened = mac.tool("/usr/bin/open", {"-n", "-W", bundle, "--args", "mount-drive"});
        EXPECT_EQ(opened.status, 1);
        EXPECT_EQ(opened.err, "The application " + bundle + " cannot be opened because its executable is missing.\n");
    }
}

TEST(MacsimTools, OpenRecordsApplicationRequestsAndHandsSafariToTheBrowser)
{
    VirtualMac mac;
    std::string seen = mac.sysroot() + "/browser-saw";
    std::string browser = mac.sysroot() + "/browser.sh";
    writeFile(browser, "#!/bin/sh\nsleep 0.2\nprintf '%s' \"$1\" > \"" + seen + "\"\n", 0755);

    EXPECT_EQ(mac.tool("/usr/bin/open", {"-a", "Passwords"}).status, 0);
    auto started = std::chrono::steady_clock::now();
    RunResult safari = withEnvironment(mac, "/usr/bin/open", {"-a", "Safari", "http://127.0.0.1:5555/proof?x=1"},
        {{"FERROLATCH_SIM_BROWSER", browser}});
    EXPECT_EQ(safari.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200)); // did not wait
    EXPECT_TRUE(waitFor([&] { return exists(seen) && readTextFile(seen).size() > 0; }));
    EXPECT_EQ(readTextFile(seen), "http://127.0.0.1:5555/proof?x=1");

    std::istringstream log(readTextFile(mac.sysroot() + "/private/var/log/macsim/open.jsonl"));
    std::vector<nlohmann::json> requests;
    for (std::string line; std::getline(log, line);)
        requests.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["application"], "Passwords");
    EXPECT_TRUE(requests[0]["targets"].empty());
    EXPECT_EQ(requests[1]["application"], "Safari");
    EXPECT_EQ(requests[1]["targets"][0], "http://127.0.0.1:5555/proof?x=1");
}

// With no stand-in browser, a desktop's default browser opens the page, so a
// person can complete the ceremony with a real authenticator.
TEST(MacsimTools, OpenHandsSafariToTheDesktopsBrowserWhenNoStandInIsSet)
{
    VirtualMac mac;
    std::string bin = mac.sysroot() + "/bin";
    std::string seen = mac.sysroot() + "/xdg-saw";
    std::filesystem::create_directories(bin);
    writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + seen + "\"\n", 0755);
    std::string path = bin + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");

    RunResult headless = withEnvironment(mac, "/usr/bin/open", {"-a", "Safari", "http://localhost:5555/proof/a"},
        {{"FERROLATCH_SIM_BROWSER", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"PATH", path}});
    EXPECT_EQ(headless.status, 0);
    RunResult desktop = withEnvironment(mac, "/usr/bin/open", {"-a", "Safari", "http://localhost:5555/proof/b"},
        {{"FERROLATCH_SIM_BROWSER", ""}, {"DISPLAY", ":77"}, {"PATH", path}});
    EXPECT_EQ(desktop.status, 0);
    EXPECT_TRUE(waitFor([&] { return exists(seen) && readTextFile(seen).size() > 0; }));
    EXPECT_EQ(readTextFile(seen), "http://localhost:5555/proof/b");
}

TEST(MacsimTools, PgrepAndKillallSeeOnlyThisSysrootsAgent)
{
    VirtualMac mac;
    VirtualMac neighbour;
    std::string pid = mac.macsimOrThrow({"agent", "start"});
    std::string neighbourPid = neighbour.macsimOrThrow({"agent", "start"});
    std::string uid = std::to_string(::getuid());

    RunResult found = mac.tool("/usr/bin/pgrep", {"-x", "-u", uid, "APFSUserAgent"});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.out, pid);
    EXPECT_EQ(neighbour.tool("/usr/bin/pgrep", {"-x", "-u", uid, "APFSUserAgent"}).out, neighbourPid);
    EXPECT_EQ(mac.tool("/usr/bin/pgrep", {"-x", "-u", std::to_string(::getuid() + 1), "APFSUserAgent"}).status, 1);
    EXPECT_EQ(mac.tool("/usr/bin/pgrep", {"-x", "-u", uid, "APFSUser"}).status, 1);

    EXPECT_EQ(mac.tool("/usr/bin/killall", {"APFSUserAgent"}).status, 0);
    EXPECT_TRUE(waitFor([&] { return mac.tool("/usr/bin/pgrep", {"-x", "-u", uid, "APFSUserAgent"}).status == 1; }));
    RunResult none = mac.tool("/usr/bin/killall", {"APFSUserAgent"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "No matching processes belonging to you were found\n");
    // The neighbour's agent is untouched.
    EXPECT_EQ(neighbour.tool("/usr/bin/pgrep", {"-x", "-u", uid, "APFSUserAgent"}).out, neighbourPid);
}

TEST(MacsimTools, ConcurrentCallsFromTwoProcessesNeverLoseAChange)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    constexpr int rounds = 15;
    std::vector<std::string> addedA;
    std::vector<std::string> addedB;
    std::atomic<int> failures {0};
    auto hammer = [&](std::vector<std::string>& added, const std::string& prefix) {
        for (int round = 0; round < rounds; ++round) {
            RunResult disk = mac.macsim({"disk", "add", "--media", prefix, "--size", "128m", "--bus", "USB"});
            RunResult volume = addEncryptedVolume(mac, "disk5", prefix + std::to_string(round), "pw");
            RunResult listing = mac.tool(diskutil, {"apfs", "list", "-plist"});
            if (disk.status != 0 || volume.status != 0 || listing.status != 0 || !parsePlist(listing.out))
                ++failures;
            added.push_back(disk.out);
        }
    };
    std::thread first(hammer, std::ref(addedA), std::string("A"));
    std::thread second(hammer, std::ref(addedB), std::string("B"));
    first.join();
    second.join();
    EXPECT_EQ(failures, 0);

    std::set<std::string> identifiers(addedA.begin(), addedA.end());
    identifiers.insert(addedB.begin(), addedB.end());
    EXPECT_EQ(identifiers.size(), 2u * rounds);
    auto machine = state(mac);
    std::size_t sticks = 0;
    for (const auto& disk : machine["disks"])
        sticks += disk["mediaName"] == "A" || disk["mediaName"] == "B";
    EXPECT_EQ(sticks, 2u * rounds);
    std::set<std::string> mountPoints;
    for (const auto& volume : machine["volumes"]) {
        if (volume["container"] == "disk5")
            mountPoints.insert(volume["mountPoint"].get<std::string>());
    }
    EXPECT_EQ(mountPoints.size(), 2u * rounds + 1);
    auto lines = auditLines(mac);
    EXPECT_EQ(lines.size(), 1u + 4u * rounds);

    // The audit keeps the order in which the calls changed the machine: the
    // volumes' slices were handed out in that order.
    std::vector<std::string> audited;
    for (const auto& line : lines) {
        if (line["argv"].size() > 4 && line["argv"][1] == "addVolume")
            audited.push_back(line["argv"][4]);
    }
    std::map<int, std::string> bySlice;
    for (const auto& volume : machine["volumes"]) {
        std::string device = volume["device"];
        if (volume["container"] == "disk5" && device != "disk5s1")
            bySlice[std::stoi(device.substr(device.find_last_of('s') + 1))] = volume["name"];
    }
    std::vector<std::string> created;
    for (const auto& [slice, name] : bySlice)
        created.push_back(name);
    EXPECT_EQ(audited, created);
}

TEST(MacsimTools, KeychainControlListsAndRefusesFaultsItCannotQueue)
{
    VirtualMac mac;
    EXPECT_EQ(mac.macsimOrThrow({"keychain", "list"}), "[]\n");
    mac.macsimOrThrow({"keychain", "fault", "copy", "-2147483648"});
    mac.macsimOrThrow({"keychain", "fault", "clear"});

    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"keychain", "fault", "read", "-25300"}, "macsim: the operation must be one of add, update, copy, delete\n"},
        {{"keychain", "fault", "add", "2147483648"}, "macsim: not a 32-bit status: 2147483648\n"},
        {{"keychain", "fault", "add", "-25299x"}, "macsim: not a 32-bit status: -25299x\n"},
        {{"keychain"}, "macsim: unrecognised command line (macsim help lists the commands)\n"},
        {{"keychain", "list", "--all"}, "macsim: unrecognised command line (macsim help lists the commands)\n"},
        {{"finder"}, "macsim: unrecognised command line (macsim help lists the commands)\n"},
        {{"channel"}, "macsim: unrecognised command line (macsim help lists the commands)\n"},
        {{"channel", "ask", "com.quorvel.ferrolatch.agent", "explicit-unlock X"},
         "macsim: no process offers com.quorvel.ferrolatch.agent\n"},
    };
    for (const Case& c : cases) {
        RunResult result = mac.macsim(c.arguments);
        EXPECT_EQ(result.status, 1) << c.error;
        EXPECT_EQ(result.err, c.error);
    }
}
