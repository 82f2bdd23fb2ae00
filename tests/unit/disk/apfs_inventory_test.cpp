#include "disk/apfs_inventory.h"
#include "tests/support/fakes.h"
#include "tests/support/expectations.h"

#include <gtest/gtest.h>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const APFSVolume macintoshHD {"disk3s1", "3C1B2A09-8F7E-4D6C-9B5A-493827160504", "Macintosh HD", true, false};
const APFSVolume data {"disk3s5", "9A8B7C6D-5E4F-4031-A2B3-C4D5E6F70819", "Data", true, false};
const APFSVolume bootstrap {"disk5s1", "0E1D2C3B-4A59-4687-9685-A4B3C2D1E0F9", "FERROLATCH", false, false};
const APFSVolume lockedPrivate {"disk5s2", "7B6A5948-3726-4150-8F9E-8D7C6B5A4938", "PRIVATE", true, true};

}

TEST(APFSInventory, KeepsEachContainerWithItsStoresAndVolumes)
{
    std::vector<APFSContainer> containers = parseAPFSContainers(fixture("apfs_list_two_containers.plist"));
    EXPECT_EQ(containers, (std::vector<APFSContainer> {{"disk3", {"disk0s2"}, {macintoshHD, data}},
                                                       {"disk5", {"disk4s2"}, {bootstrap, lockedPrivate}}}));
    EXPECT_THROW(parseAPFSContainers("<plist version=\"1.0\"><dict/></plist>"), ProofError);
}

TEST(APFSInventory, ListsVolumesOfEachContainerInOrder)
{
    struct Case {
        const char* name;
        const char* fixture;
        std::optional<std::string> filter;
        std::vector<APFSVolume> expected;
    };
    const Case cases[] = {
        {"two containers of two volumes", "apfs_list_two_containers.plist", std::nullopt,
         {macintoshHD, data, bootstrap, lockedPrivate}},
        {"filtered to one container", "apfs_list_two_containers.plist", "disk5", {bootstrap, lockedPrivate}},
        {"filter matching no container", "apfs_list_two_containers.plist", "disk9", {}},
        {"filter compares exactly", "apfs_list_two_containers.plist", "DISK5", {}},
        // No Name: left out. No Locked: not locked. No ContainerReference: listed without a filter.
        {"optional keys, no filter", "apfs_list_optional_keys.plist", std::nullopt,
         {{"disk5s2", "7B6A5948-3726-4150-8F9E-8D7C6B5A4938", "PRIVATE", true, false},
          {"disk7s1", "1E1D2C3B-4A59-4687-9685-A4B3C2D1E0F9", "Loose", false, false}}},
        {"container without reference skipped by a filter", "apfs_list_optional_keys.plist", "disk5",
         {{"disk5s2", "7B6A5948-3726-4150-8F9E-8D7C6B5A4938", "PRIVATE", true, false}}},
        {"empty Containers", "apfs_list_empty.plist", std::nullopt, {}},
        // Required keys of another type skip the volume; flags of another type read false;
        // Volumes that is not an array of dictionaries skips the container.
        {"wrong types", "apfs_list_wrong_types.plist", std::nullopt,
         {{"disk5s3", "8B6A5948-3726-4150-8F9E-8D7C6B5A4938", "Stringly", false, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseAPFSInventory(fixture(c.fixture), c.filter), c.expected);
    }
}

TEST(APFSInventory, RefusesAnInventoryWithoutUsableContainers)
{
    for (std::string bytes :
         {fixture("apfs_list_without_containers.plist"), fixture("apfs_list_containers_not_dictionaries.plist"),
          std::string("<plist><array><dict/></array></plist>"),
          std::string("<plist><dict><key>Containers</key><string>disk5</string></dict></plist>")}) {
        EXPECT_PROOF_ERROR(parseAPFSInventory(bytes, std::nullopt), "diskutil returned an unreadable APFS inventory");
    }
    // Bytes that are no property list at all fail with the parser's own error.
    EXPECT_THROW(parseAPFSInventory("not a plist", std::nullopt), PlatformError);
    // A raw NUL inside a string would make libplist abort; it is refused instead.
    std::string withNul = "<plist><dict><key>Containers</key><array><dict><key>ContainerReference</key>"
                          "<string>disk5</string></dict></array><key>x</key><string>a?b</string></dict></plist>";
    withNul[withNul.find('?')] = '\0';
    EXPECT_THROW(parseAPFSInventory(withNul, std::nullopt), PlatformError);
}

TEST(APFSInventory, ListingRunsDiskutilAndPassesItsFailureUp)
{
    FakeToolRunner tools;
    tools.answer({"apfs", "list", "-plist"}, fixture("apfs_list_two_containers.plist"));
    EXPECT_EQ(listAPFSVolumes(tools, std::string("disk3")), (std::vector<APFSVolume> {macintoshHD, data}));
    ASSERT_EQ(tools.calls.size(), 1u);
    EXPECT_EQ(tools.calls[0].executable, "/usr/sbin/diskutil");
    EXPECT_FALSE(tools.calls[0].standardInput);

    FakeToolRunner failing;
    failing.answer({"apfs", "list", "-plist"}, ToolOutcome {1, "", "Error: -69808\n"});
    EXPECT_PROOF_ERROR(listAPFSVolumes(failing), "diskutil failed: Error: -69808");
}

TEST(APFSInventory, MountPointNeedsANonEmptyMountPoint)
{
    FakeToolRunner tools;
    tools.answer({"info", "-plist", "disk5s2"}, fixture("volume_info_mounted.plist"));
    EXPECT_EQ(mountPoint(tools, "disk5s2"), "/Volumes/PRIVATE");

    const std::pair<const char*, std::string> notMounted[] = {
        {"empty MountPoint", fixture("volume_info_unmounted.plist")},
        {"no MountPoint", "<plist><dict><key>DeviceIdentifier</key><string>disk5s2</string></dict></plist>"},
        {"MountPoint not a string", "<plist><dict><key>MountPoint</key><true/></dict></plist>"},
        {"not a dictionary", "<plist><array><string>/Volumes/PRIVATE</string></array></plist>"},
    };
    for (const auto& [name, bytes] : notMounted) {
        SCOPED_TRACE(name);
        FakeToolRunner answering;
        answering.answer({"info", "-plist", "disk5s2"}, bytes);
        EXPECT_PROOF_ERROR(mountPoint(answering, "disk5s2"), "APFS volume disk5s2 is not mounted");
    }
    FakeToolRunner unknown;
    EXPECT_PROOF_ERROR(mountPoint(unknown, "disk9s9"), "diskutil failed: Could not find disk: disk9s9");
}

TEST(APFSVolumeOperations, UnlockSendsThePasswordOnStdinOnly)
{
    FakeToolRunner tools;
    tools.answer({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, "Unlocking any cryptographic user...\n");
    SecretBytes password = SecretBytes::copyOf(std::string_view("correct horse"));
    unlockAPFSVolume(tools, "disk5s2", password);

    ASSERT_EQ(tools.calls.size(), 1u);
    EXPECT_EQ(tools.calls[0].executable, "/usr/sbin/diskutil");
    EXPECT_EQ(tools.calls[0].standardInput, "correct horse\n");
    EXPECT_TRUE(password.equals(std::string_view("correct horse"))); // the caller's copy is untouched
    for (const std::string& argument : tools.calls[0].arguments)
        EXPECT_EQ(argument.find("horse"), std::string::npos);
}

TEST(APFSVolumeOperations, WrongPasswordAndLockFailuresCarryTheToolsText)
{
    FakeToolRunner tools;
    tools.answer({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"},
                 ToolOutcome {1, "", "Error unlocking APFS Volume: Incorrect passphrase (-69749)\n"});
    tools.answer({"apfs", "lockVolume", "disk5s2"}, "Volume disk5s2 is now locked\n");
    SecretBytes wrong = SecretBytes::copyOf(std::string_view("wrong"));
    EXPECT_PROOF_ERROR(unlockAPFSVolume(tools, "disk5s2", wrong),
                       "diskutil failed: Error unlocking APFS Volume: Incorrect passphrase (-69749)");
    lockAPFSVolume(tools, "disk5s2");
    EXPECT_EQ(tools.calls.back().arguments, (std::vector<std::string> {"apfs", "lockVolume", "disk5s2"}));
    EXPECT_FALSE(tools.calls.back().standardInput);
    EXPECT_PROOF_ERROR(lockAPFSVolume(tools, "disk6s2"), "diskutil failed: Could not find disk: disk6s2");
}
