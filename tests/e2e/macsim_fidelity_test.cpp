#include "tests/e2e/macsim_test_support.h"

#include <regex>
#include <sstream>

using namespace macsim;
using namespace macsim::testing;

namespace {

const std::string imagePassword = "image password";
const std::string apfsVolumeType = "41504653-0000-11AA-AA11-00306543ECAC";
const std::string apfsContainerType = "EF57347C-0000-11AA-AA11-00306543ECAC";
const std::string apfsPartitionType = "7C3457EF-0000-11AA-AA11-00306543ECAC";

std::string createImage(const VirtualMac& mac, const std::string& name)
{
    std::string input = imagePassword + "\n";
    std::string path = mac.sysroot() + "/Users/" + name + ".dmg";
    RunResult created = mac.tool(hdiutil,
        {"create", "-size", "16m", "-fs", "APFS", "-volname", name, "-encryption", "AES-256", "-stdinpass", path},
        &input);
    if (created.status != 0)
        throw std::runtime_error("create failed: " + describe(created));
    return path;
}

RunResult attach(const VirtualMac& mac, const std::string& path, bool plist = true)
{
    std::string input = imagePassword + "\n";
    std::vector<std::string> arguments {"attach", "-nobrowse", "-stdinpass", path};
    if (plist)
        arguments.insert(arguments.begin() + 1, "-plist");
    return mac.tool(hdiutil, arguments, &input);
}

// Every key of an entity, with its value as text.
std::map<std::string, std::string> entity(const Plist& dictionary)
{
    std::map<std::string, std::string> keys;
    for (const auto& [key, value] : *asDictionary(&dictionary)) {
        if (const std::string* text = asString(&value))
            keys[key] = *text;
        else if (const bool* truth = asBool(&value))
            keys[key] = *truth ? "true" : "false";
        else
            keys[key] = "?";
    }
    return keys;
}

}

TEST(MacsimFidelity, AttachListsTheSchemePartitionContainerAndVolumeAsAMacDoes)
{
    VirtualMac mac;
    std::string image = createImage(mac, "Proof");
    Plist receipt = plistOf(attach(mac, image));
    const auto& entities = array(receipt, "system-entities");
    ASSERT_EQ(entities.size(), 4u);
    using Keys = std::map<std::string, std::string>;
    EXPECT_EQ(entity(entities[0]), (Keys {{"content-hint", "GUID_partition_scheme"}, {"dev-entry", "/dev/disk4"},
                                       {"potentially-mountable", "false"},
                                       {"unmapped-content-hint", "GUID_partition_scheme"}}));
    EXPECT_EQ(entity(entities[1]), (Keys {{"content-hint", "Apple_APFS"}, {"dev-entry", "/dev/disk4s1"},
                                       {"potentially-mountable", "false"},
                                       {"unmapped-content-hint", apfsPartitionType}}));
    EXPECT_EQ(entity(entities[2]), (Keys {{"content-hint", apfsContainerType}, {"dev-entry", "/dev/disk5"},
                                       {"potentially-mountable", "false"},
                                       {"unmapped-content-hint", apfsContainerType}}));
    EXPECT_EQ(entity(entities[3]),
        (Keys {{"content-hint", apfsVolumeType}, {"dev-entry", "/dev/disk5s1"},
            {"mount-point", mac.sysroot() + "/Volumes/Proof"}, {"potentially-mountable", "true"},
            {"unmapped-content-hint", apfsVolumeType}, {"volume-kind", "apfs"}}));
    // The named devices are the ones diskutil knows.
    EXPECT_EQ(text(info(mac, "disk5"), "Content"), apfsContainerType);
    EXPECT_EQ(text(info(mac, "disk5s1"), "MountPoint"), mac.sysroot() + "/Volumes/Proof");

    // Without -plist: one line per entity, the device first, the mount point last.
    ASSERT_EQ(mac.tool(hdiutil, {"detach", "/dev/disk5s1"}).status, 0);
    RunResult table = attach(mac, image, false);
    ASSERT_EQ(table.status, 0) << describe(table);
    std::istringstream lines(table.out);
    std::vector<std::string> devices;
    std::string last;
    for (std::string line; std::getline(lines, line); last = line)
        devices.push_back(line.substr(0, line.find_first_of(" \t")));
    EXPECT_EQ(devices, (std::vector<std::string> {"/dev/disk4", "/dev/disk4s1", "/dev/disk5", "/dev/disk5s1"}));
    EXPECT_EQ(last.substr(last.rfind('\t') + 1), mac.sysroot() + "/Volumes/Proof");
}

TEST(MacsimFidelity, AttachingAnAttachedImageGivesItsAttachmentMountedAgain)
{
    VirtualMac mac;
    std::string image = createImage(mac, "Proof");
    ASSERT_EQ(attach(mac, image).status, 0);
    writeFile(mac.sysroot() + "/Volumes/Proof/kept.txt", "kept");
    RunResult unmounted = mac.tool(diskutil, {"unmount", "/dev/disk5s1"});
    ASSERT_EQ(unmounted.status, 0) << describe(unmounted);

    RunResult again = attach(mac, image);
    ASSERT_EQ(again.status, 0) << describe(again);
    Plist receipt = plistOf(again);
    const auto& entities = array(receipt, "system-entities");
    ASSERT_EQ(entities.size(), 4u);
    EXPECT_EQ(text(entities[3], "dev-entry"), "/dev/disk5s1");
    EXPECT_EQ(text(entities[3], "mount-point"), mac.sysroot() + "/Volumes/Proof");
    EXPECT_EQ(ferrolatch::e2e::readTextFile(mac.sysroot() + "/Volumes/Proof/kept.txt"), "kept");
    EXPECT_EQ(state(mac)["images"].size(), 1u);
}

TEST(MacsimFidelity, UsbDiskWithoutAnExplicitPathSitsOnAPortOfItsOwn)
{
    VirtualMac mac;
    mac.macsimOrThrow({"disk", "add", "--media", "Stick", "--size", "64m", "--bus", "USB"});
    mac.macsimOrThrow({"disk", "add", "--media", "Stick", "--size", "64m", "--bus", "USB"});
    static const std::regex port(
        "^IODeviceTree:/arm-io@[0-9A-F]+/usb-drd([0-9]+)@[0-9A-F]+/usb-drd\\1-port-(hs|ss)@[0-9A-F]+$");
    std::string first = text(info(mac, "disk4"), "DeviceTreePath");
    std::string second = text(info(mac, "disk5"), "DeviceTreePath");
    EXPECT_TRUE(std::regex_match(first, port)) << first;
    EXPECT_TRUE(std::regex_match(second, port)) << second;
    EXPECT_NE(first, second);
    // The path names where the disk is plugged in, not the disk.
    EXPECT_EQ(first.find("disk4"), std::string::npos);
    // A partition reports its whole disk's path.
    RunResult erased = mac.tool(diskutil, {"eraseDisk", "APFS", "Stick", "GPT", "/dev/disk4"});
    ASSERT_EQ(erased.status, 0) << describe(erased);
    EXPECT_EQ(text(info(mac, "disk4s2"), "DeviceTreePath"), first);
}

TEST(MacsimFidelity, DittoAddsNothingToAnImmutableDirectory)
{
    VirtualMac mac;
    std::string source = mac.sysroot() + "/Users/source";
    ::mkdir(source.c_str(), 0755);
    writeFile(source + "/new.txt", "new");
    std::string destination = mac.sysroot() + "/Users/locked";
    ::mkdir(destination.c_str(), 0755);
    setEmulatedFlags(destination, "2");

    RunResult refused = mac.tool("/usr/bin/ditto", {source, destination});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "ditto: " + destination + "/new.txt: Operation not permitted\n");
    EXPECT_FALSE(exists(destination + "/new.txt"));

    setEmulatedFlags(destination, "0");
    RunResult copied = mac.tool("/usr/bin/ditto", {source, destination});
    EXPECT_EQ(copied.status, 0) << describe(copied);
    EXPECT_EQ(ferrolatch::e2e::readTextFile(destination + "/new.txt"), "new");
}
