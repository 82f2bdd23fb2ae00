#include "tests/e2e/macsim_test_support.h"

using namespace macsim;
using namespace macsim::testing;

namespace {

struct Expected {
    const char* key;
    std::variant<std::string, bool, std::uint64_t> value;
};

void expectKeys(const Plist& dictionary, const std::vector<Expected>& expected)
{
    for (const auto& [key, value] : expected) {
        SCOPED_TRACE(key);
        const Plist* found = child(dictionary, key);
        ASSERT_NE(found, nullptr);
        if (auto* text = std::get_if<std::string>(&value)) {
            ASSERT_NE(asString(found), nullptr);
            EXPECT_EQ(*asString(found), *text);
        } else if (auto* truth = std::get_if<bool>(&value)) {
            ASSERT_NE(asBool(found), nullptr);
            EXPECT_EQ(*asBool(found), *truth);
        } else {
            ASSERT_NE(asInteger(found), nullptr);
            EXPECT_EQ(*asInteger(found), std::get<std::uint64_t>(value));
        }
    }
}

}

TEST(MacsimDisk, AddedUsbDiskDescribesItselfAsAnEligibleWholeDisk)
{
    VirtualMac mac;
    EXPECT_EQ(mac.macsimOrThrow({"disk", "add", "--media", "Ferrolatch fixture", "--size", "128m", "--bus", "USB",
                  "--tree", "fixture:/external/usb"}),
        "disk4\n");
    expectKeys(info(mac, "disk4"),
        {
            {"DeviceIdentifier", std::string("disk4")},
            {"DeviceNode", std::string("/dev/disk4")},
            {"ParentWholeDisk", std::string("disk4")},
            {"WholeDisk", true},
            {"Internal", false},
            {"RemovableMediaOrExternalDevice", true},
            {"VirtualOrPhysical", std::string("Physical")},
            {"Writable", true},
            {"WritableMedia", true},
            {"SystemImage", false},
            {"MediaName", std::string("Ferrolatch fixture")},
            {"BusProtocol", std::string("USB")},
            {"DeviceTreePath", std::string("fixture:/external/usb")},
            {"TotalSize", std::uint64_t {134217728}},
        });
}

TEST(MacsimDisk, InitLaysOutTheSysrootOnceAndOnlyOnce)
{
    VirtualMac mac;
    const std::string& root = mac.sysroot();
    for (const char* path : {"/Volumes", "/private/var/db", "/private/var/run", "/private/var/log"})
        EXPECT_TRUE(exists(root + path)) << path;
    for (const char* tool : {"/usr/sbin/diskutil", "/usr/bin/hdiutil", "/usr/bin/open", "/usr/bin/ditto",
             "/usr/bin/pgrep", "/usr/bin/killall", "/bin/sync"})
        EXPECT_EQ(::access((root + tool).c_str(), X_OK), 0) << tool;
    bool libraryFound = false;
    if (DIR* users = ::opendir((root + "/Users").c_str())) {
        while (dirent* entry = ::readdir(users)) {
            std::string library = root + "/Users/" + entry->d_name + "/Library";
            if (entry->d_name[0] != '.' && exists(library + "/Application Support") && exists(library + "/Preferences")
                && exists(library + "/Group Containers") && exists(library + "/Keychains")
                && exists(library + "/LaunchAgents"))
                libraryFound = true;
        }
        ::closedir(users);
    }
    EXPECT_TRUE(libraryFound);

    std::string agent = ferrolatch::e2e::readTextFile(root + "/System/Library/CoreServices/APFSUserAgent");
    EXPECT_NE(agent.find("DontUnlockVolume"), std::string::npos);
    EXPECT_NE(agent.find("No prompt required"), std::string::npos);
    EXPECT_EQ(::access((root + "/System/Library/CoreServices/APFSUserAgent").c_str(), X_OK), 0);

    mac.macsimOrThrow({"disk", "add", "--media", "Stick", "--size", "1g", "--bus", "USB"});
    std::string before = mac.macsimOrThrow({"state"});
    mac.macsimOrThrow({"init"});
    mac.macsimOrThrow({"init", "--no-prompt-suppression"});
    EXPECT_EQ(mac.macsimOrThrow({"state"}), before);
    EXPECT_NE(ferrolatch::e2e::readTextFile(root + "/System/Library/CoreServices/APFSUserAgent").find("No prompt required"),
        std::string::npos);
}

TEST(MacsimDisk, OlderMacAgentLacksThePromptSuppressionString)
{
    VirtualMac mac({"--no-prompt-suppression"});
    std::string agent = ferrolatch::e2e::readTextFile(mac.sysroot() + "/System/Library/CoreServices/APFSUserAgent");
    EXPECT_NE(agent.find("DontUnlockVolume"), std::string::npos);
    EXPECT_EQ(agent.find("No prompt required"), std::string::npos);
}

TEST(MacsimDisk, IdentifiersFollowTheOrderOfOperations)
{
    VirtualMac mac;
    auto add = [&](std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments {"disk", "add", "--media", "Stick", "--size", "256m", "--bus", "USB"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return mac.macsimOrThrow(arguments);
    };
    EXPECT_EQ(add(), "disk4\n");
    EXPECT_EQ(add({"--detached"}), "disk5\n");
    EXPECT_EQ(mac.tool(diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"}).status, 0);
    EXPECT_EQ(add(), "disk7\n"); // disk6 went to the new container
    EXPECT_EQ(text(info(mac, "disk4s2"), "APFSContainerReference"), "disk6");
}

TEST(MacsimDisk, ListsOnlyAttachedExternalPhysicalWholeDisks)
{
    VirtualMac mac;
    mac.macsimOrThrow({"disk", "add", "--media", "USB", "--size", "256m", "--bus", "USB"});                  // disk4
    mac.macsimOrThrow({"disk", "add", "--media", "Inner", "--size", "256m", "--bus", "SATA", "--internal"}); // disk5
    mac.macsimOrThrow({"disk", "add", "--media", "Virt", "--size", "256m", "--bus", "USB", "--virtual"});    // disk6
    mac.macsimOrThrow({"disk", "add", "--media", "Away", "--size", "256m", "--bus", "USB", "--detached"});   // disk7
    mac.macsimOrThrow({"disk", "add", "--media", "Second", "--size", "256m", "--bus", "USB"});               // disk8
    ASSERT_EQ(mac.tool(diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "disk8"}).status, 0);             // disk9

    Plist listing = plistOf(mac.tool(diskutil, {"list", "-plist", "external", "physical"}));
    std::vector<std::string> wholeDisks;
    for (const Plist& entry : array(listing, "WholeDisks")) {
        ASSERT_NE(asString(&entry), nullptr);
        wholeDisks.push_back(*asString(&entry));
    }
    EXPECT_EQ(wholeDisks, (std::vector<std::string> {"disk4", "disk8"}));
    std::vector<std::string> all;
    for (const Plist& entry : array(listing, "AllDisks"))
        all.push_back(*asString(&entry));
    EXPECT_EQ(all, (std::vector<std::string> {"disk4", "disk8", "disk8s1", "disk8s2"}));

    // Unfiltered, the internal disk and its containers are marked as the system's own.
    Plist everything = plistOf(mac.tool(diskutil, {"list", "-plist"}));
    std::map<std::string, bool> osInternal;
    for (const Plist& entry : array(everything, "AllDisksAndPartitions"))
        osInternal[text(entry, "DeviceIdentifier")] = flag(entry, "OSInternal");
    EXPECT_EQ(osInternal.size(), 9u);
    for (const char* internal : {"disk0", "disk1", "disk3"})
        EXPECT_TRUE(osInternal[internal]) << internal;
    for (const char* external : {"disk4", "disk8", "disk9"})
        EXPECT_FALSE(osInternal[external]) << external;

    for (const char* refused : {"disk5", "disk6"}) {
        Plist identity = info(mac, refused);
        EXPECT_TRUE(text(identity, "VirtualOrPhysical") == "Virtual" || flag(identity, "Internal")) << refused;
    }

    // The state says of each volume what diskutil says of its disk.
    ASSERT_EQ(mac.tool(diskutil, {"eraseDisk", "APFS", "INNER", "GPT", "disk5"}).status, 0);
    nlohmann::json machine = state(mac);
    std::map<std::string, bool> internalVolumes;
    for (const auto& volume : machine["volumes"])
        internalVolumes[volume["name"]] = volume["internal"];
    EXPECT_TRUE(internalVolumes["INNER"]);
    EXPECT_TRUE(flag(info(mac, mac.sysroot() + "/Volumes/INNER"), "Internal"));
    EXPECT_FALSE(internalVolumes["FERROLATCH"]);
    EXPECT_TRUE(internalVolumes["Macintosh HD"]);
}

TEST(MacsimDisk, InfoAnswersForEveryFormOfTarget)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    std::string mountPoint = mac.sysroot() + "/Volumes/FERROLATCH";
    ::mkdir((mountPoint + "/inside").c_str(), 0755);

    struct Case {
        std::string target;
        std::string device;
        bool wholeDisk;
    };
    const Case cases[] = {
        {"disk4", "disk4", true},
        {"/dev/disk4", "disk4", true},
        {"disk4s1", "disk4s1", false},
        {"/dev/disk4s2", "disk4s2", false},
        {"disk5", "disk5", true},
        {"disk5s1", "disk5s1", false},
        {mountPoint, "disk5s1", false},
        {mountPoint + "/", "disk5s1", false},
        {mountPoint + "/inside", "disk5s1", false},
        {"/", "disk3s1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Plist identity = info(mac, c.target);
        EXPECT_EQ(text(identity, "DeviceIdentifier"), c.device);
        EXPECT_EQ(text(identity, "DeviceNode"), "/dev/" + c.device);
        EXPECT_EQ(flag(identity, "WholeDisk"), c.wholeDisk);
    }

    Plist volume = info(mac, "disk5s1");
    EXPECT_EQ(text(volume, "MountPoint"), mountPoint);
    EXPECT_TRUE(isCanonicalUUID(text(volume, "VolumeUUID")));
    EXPECT_FALSE(flag(volume, "Internal"));
    EXPECT_FALSE(flag(volume, "FileVault"));
    EXPECT_EQ(text(volume, "VolumeName"), "FERROLATCH");
    EXPECT_EQ(text(volume, "ParentWholeDisk"), "disk5");

    Plist root = info(mac, "/");
    EXPECT_EQ(text(root, "MountPoint"), "/");
    EXPECT_TRUE(flag(root, "Internal"));
    EXPECT_FALSE(flag(root, "RemovableMediaOrExternalDevice"));

    EXPECT_EQ(text(info(mac, "disk5"), "VirtualOrPhysical"), "Virtual");

    // A volume's UUID names it too, in either letter case, as a Mac's diskutil takes it.
    std::string uuid = text(volume, "VolumeUUID");
    std::string lower = uuid;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const std::string& named : {uuid, lower}) {
        SCOPED_TRACE(named);
        EXPECT_EQ(text(info(mac, named), "DeviceIdentifier"), "disk5s1");
    }

    for (const char* unknown : {"disk9", "disk4s7", "disk5s9", "/dev/disk9", "frobnicate",
                                "0DDBA11D-0000-4000-8000-000000000003"}) {
        RunResult result = mac.tool(diskutil, {"info", "-plist", unknown});
        EXPECT_EQ(result.status, 1) << unknown;
        EXPECT_EQ(result.err, std::string("Could not find disk: ") + unknown + "\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(MacsimDisk, ApfsInventoryCarriesTheKeysAndTypesOfAMac)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", "pw").status, 0);

    Plist inventory = plistOf(mac.tool(diskutil, {"apfs", "list", "-plist"}));
    const Plist* fixture = nullptr;
    std::vector<std::string> references;
    for (const Plist& container : array(inventory, "Containers")) {
        references.push_back(text(container, "ContainerReference"));
        if (references.back() == "disk5")
            fixture = &container;
    }
    EXPECT_EQ(references, (std::vector<std::string> {"disk1", "disk2", "disk3", "disk5"}));
    ASSERT_NE(fixture, nullptr);
    EXPECT_TRUE(isCanonicalUUID(text(*fixture, "APFSContainerUUID")));
    const auto& stores = array(*fixture, "PhysicalStores");
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(text(stores[0], "DeviceIdentifier"), "disk4s2");

    const auto& volumes = array(*fixture, "Volumes");
    ASSERT_EQ(volumes.size(), 2u);
    struct Row {
        std::string device, name;
        bool encrypted;
    };
    const Row rows[] = {{"disk5s1", "FERROLATCH", false}, {"disk5s2", "PRIVATE", true}};
    for (std::size_t index = 0; index < 2; ++index) {
        SCOPED_TRACE(rows[index].device);
        EXPECT_EQ(text(volumes[index], "DeviceIdentifier"), rows[index].device);
        EXPECT_EQ(text(volumes[index], "Name"), rows[index].name);
        EXPECT_TRUE(isCanonicalUUID(text(volumes[index], "APFSVolumeUUID")));
        EXPECT_EQ(flag(volumes[index], "Encryption"), rows[index].encrypted);
        EXPECT_EQ(flag(volumes[index], "FileVault"), rows[index].encrypted);
        EXPECT_FALSE(flag(volumes[index], "Locked"));
    }
    // The volume's UUID is the same everywhere it is reported.
    EXPECT_EQ(text(volumes[1], "APFSVolumeUUID"), text(info(mac, "disk5s2"), "VolumeUUID"));
    EXPECT_EQ(text(volumes[1], "APFSVolumeUUID"), volumeNamed(mac, "disk5s2")["uuid"]);
}

TEST(MacsimDisk, DiskSetChangesTheIdentityThatInfoReports)
{
    VirtualMac mac;
    mac.macsimOrThrow({"disk", "add", "--media", "Stick", "--size", "256m", "--bus", "USB"});
    mac.macsimOrThrow({"disk", "set", "disk4", "MediaName", "Other stick"});
    mac.macsimOrThrow({"disk", "set", "disk4", "TotalSize", "1g"});
    mac.macsimOrThrow({"disk", "set", "disk4", "BusProtocol", "Thunderbolt"});
    mac.macsimOrThrow({"disk", "set", "disk4", "DeviceTreePath", "IODeviceTree:/elsewhere"});
    Plist identity = info(mac, "disk4");
    EXPECT_EQ(text(identity, "MediaName"), "Other stick");
    EXPECT_EQ(integer(identity, "TotalSize"), 1073741824u);
    EXPECT_EQ(text(identity, "BusProtocol"), "Thunderbolt");
    EXPECT_EQ(text(identity, "DeviceTreePath"), "IODeviceTree:/elsewhere");

    RunResult badKey = mac.macsim({"disk", "set", "disk4", "Internal", "true"});
    EXPECT_EQ(badKey.status, 1);
    EXPECT_EQ(std::count(badKey.err.begin(), badKey.err.end(), '\n'), 1);
    EXPECT_EQ(mac.macsim({"disk", "set", "disk9", "MediaName", "x"}).status, 1);
}

TEST(MacsimDisk, DetachHidesTheDiskAndAttachRemountsWhatAMacWouldMount)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", "pw").status, 0);
    std::string bootstrap = mac.sysroot() + "/Volumes/FERROLATCH";
    writeFile(bootstrap + "/ferrolatch.json", "{}\n");
    ASSERT_EQ(mac.tool(diskutil, {"unmount", "disk5s1"}).status, 0);
    ASSERT_EQ(mac.tool(diskutil, {"mount", "nobrowse", "disk5s1"}).status, 0);

    mac.macsimOrThrow({"disk", "detach", "disk4"});
    for (const char* gone : {"disk4", "disk4s2", "disk5", "disk5s1", "disk5s2"})
        EXPECT_EQ(mac.tool(diskutil, {"info", "-plist", gone}).status, 1) << gone;
    EXPECT_FALSE(exists(bootstrap));
    EXPECT_FALSE(exists(mac.sysroot() + "/Volumes/PRIVATE"));
    Plist listing = plistOf(mac.tool(diskutil, {"list", "-plist", "external", "physical"}));
    EXPECT_TRUE(array(listing, "WholeDisks").empty());

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    EXPECT_EQ(text(info(mac, "disk5s1"), "MountPoint"), bootstrap);
    EXPECT_EQ(ferrolatch::e2e::readTextFile(bootstrap + "/ferrolatch.json"), "{}\n");
    EXPECT_EQ(volumeNamed(mac, "disk5s1")["browsable"], false);
    // The encrypted volume comes back locked, as on any Mac without its password.
    EXPECT_EQ(text(info(mac, "disk5s2"), "MountPoint"), "");
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], true);

    EXPECT_EQ(mac.macsim({"disk", "attach", "disk4"}).status, 1);
    EXPECT_EQ(mac.macsim({"disk", "detach", "disk0"}).status, 1);
}

TEST(MacsimDisk, EraseRefusesTheBootDiskReadOnlyMediaAndPartitions)
{
    VirtualMac mac;
    mac.macsimOrThrow({"disk", "add", "--media", "Locked stick", "--size", "256m", "--bus", "USB", "--read-only"});
    struct Case {
        std::string device;
        std::string error;
    };
    const Case cases[] = {
        {"/dev/disk0", "Error: -69888: Couldn't unmount disk disk0\n"},
        {"/dev/disk4", "Error: -69763: Unable to write to the last block of the device\n"},
        {"/dev/disk0s2", "/dev/disk0s2 is not a whole disk\n"},
        {"/dev/disk9", "Could not find disk: /dev/disk9\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        RunResult result = mac.tool(diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", c.device});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.error);
    }
    Plist identity = info(mac, "disk4");
    EXPECT_FALSE(flag(identity, "Writable"));
    EXPECT_FALSE(flag(identity, "WritableMedia"));
    EXPECT_EQ(text(identity, "Content"), "");
}

TEST(MacsimDisk, ErasingAgainReplacesEverythingOnTheDisk)
{
    VirtualMac mac;
    eraseFixtureDisk(mac);
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", "pw").status, 0);
    writeFile(mac.sysroot() + "/Volumes/PRIVATE/old.txt", "old");
    ASSERT_EQ(mac.tool(diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"}).status, 0);
    EXPECT_FALSE(exists(mac.sysroot() + "/Volumes/PRIVATE"));
    // The freed number goes to the new container, as a Mac reuses it.
    EXPECT_EQ(text(info(mac, "disk4s2"), "APFSContainerReference"), "disk5");
    EXPECT_EQ(text(info(mac, "disk5s1"), "MountPoint"), mac.sysroot() + "/Volumes/FERROLATCH");
    EXPECT_EQ(mac.tool(diskutil, {"info", "-plist", "disk5s2"}).status, 1);
    std::size_t external = 0;
    nlohmann::json machine = state(mac);
    for (const auto& volume : machine["volumes"])
        external += volume["internal"] == false;
    EXPECT_EQ(external, 1u);
}
