#include "common/hex.h"
#include "crypto/pretty_json.h"
#include "disk/disk_identity.h"
#include "tests/support/fakes.h"
#include "tests/support/disk_fixtures.h"
#include "tests/support/expectations.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

PlistValue::Dictionary disk99()
{
    PlistValue identity = parsePropertyList(fixture("disk_info_disk99.plist"));
    if (!identity.dictionary())
        throw std::runtime_error("disk99 fixture is not a dictionary");
    return *identity.dictionary();
}

// A key replaced or, for an empty value, removed.
using Change = std::pair<const char*, std::optional<PlistValue>>;

// The disk99 fixture with some keys changed.
PlistValue::Dictionary disk99With(const std::vector<Change>& changes)
{
    PlistValue::Dictionary identity = disk99();
    for (const auto& [key, value] : changes) {
        if (value)
            identity.insert_or_assign(key, *value);
        else
            identity.erase(key);
    }
    return identity;
}

// Identity of the named disk: disk99's fixture relabelled.
std::string diskInfo(const std::string& identifier)
{
    std::string plist = fixture("disk_info_disk99.plist");
    for (std::size_t at; (at = plist.find("disk99")) != std::string::npos;)
        plist.replace(at, 6, identifier);
    return plist;
}

const std::string whole = "refusing a device that is not the exact requested whole disk";
const std::string internal = "refusing an internal disk";
const std::string notExternal = "refusing a disk that is not a physical external/removable device";
const std::string readOnly = "refusing a read-only or system-image disk";
const std::string incomplete = "disk identity is incomplete or implausibly small";
const std::string form = "whole disk must use the exact diskN identifier form";

}

TEST(DiskIdentity, RefusesEachUnsafeDiskWithItsMessage)
{
    struct Case {
        const char* name;
        std::vector<Change> changes;
        std::string error;
    };
    const Case cases[] = {
        {"other device identifier", {{"DeviceIdentifier", "disk98"}}, whole},
        {"partition node", {{"DeviceNode", "/dev/disk99s1"}}, whole},
        {"raw node", {{"DeviceNode", "/dev/rdisk99"}}, whole},
        {"parent is another disk", {{"ParentWholeDisk", "disk3"}}, whole},
        {"not a whole disk", {{"WholeDisk", false}}, whole},
        {"WholeDisk as a string", {{"WholeDisk", "true"}}, whole},
        {"WholeDisk missing", {{"WholeDisk", std::nullopt}}, whole},
        {"DeviceIdentifier missing", {{"DeviceIdentifier", std::nullopt}}, whole},
        {"internal", {{"Internal", true}}, internal},
        {"Internal missing", {{"Internal", std::nullopt}}, internal},
        {"Internal as a number", {{"Internal", 0}}, internal},
        {"not removable or external", {{"RemovableMediaOrExternalDevice", false}}, notExternal},
        {"removable flag missing", {{"RemovableMediaOrExternalDevice", std::nullopt}}, notExternal},
        {"virtual", {{"VirtualOrPhysical", "Virtual"}}, notExternal},
        {"VirtualOrPhysical in another case", {{"VirtualOrPhysical", "physical"}}, notExternal},
        {"VirtualOrPhysical missing", {{"VirtualOrPhysical", std::nullopt}}, notExternal},
        {"not writable", {{"Writable", false}}, readOnly},
        {"read-only media", {{"WritableMedia", false}}, readOnly},
        {"system image", {{"SystemImage", true}}, readOnly},
        {"SystemImage missing", {{"SystemImage", std::nullopt}}, readOnly},
        {"Writable as a string", {{"Writable", "YES"}}, readOnly},
        {"empty media name", {{"MediaName", ""}}, incomplete},
        {"bus protocol missing", {{"BusProtocol", std::nullopt}}, incomplete},
        {"device-tree path as data", {{"DeviceTreePath", PlistValue::Data {"fixture"}}}, incomplete},
        {"size missing", {{"TotalSize", std::nullopt}}, incomplete},
        {"size as a string", {{"TotalSize", "134217728"}}, incomplete},
        {"one byte under 64 MiB", {{"TotalSize", std::int64_t {67108863}}}, incomplete},
        {"negative size", {{"TotalSize", std::int64_t {-134217728}}}, incomplete},
        // Order: the first failing check names the refusal.
        {"internal and read-only", {{"Internal", true}, {"Writable", false}}, internal},
        {"virtual and too small", {{"VirtualOrPhysical", "Virtual"}, {"TotalSize", 1}}, notExternal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_PROOF_ERROR(validateDiskIdentity(disk99With(c.changes), "disk99"), c.error);
    }
    EXPECT_PROOF_ERROR(validateDiskIdentity({}, "disk99"), whole);
}

TEST(DiskIdentity, OnlyTheExactWholeDiskFormIsAccepted)
{
    for (const char* identifier : {"disk4s1", "disk", "Disk4", "/dev/disk4", "rdisk4", "disk4 ", "disk-4", ""}) {
        SCOPED_TRACE(identifier);
        // Even an identity describing exactly that name is refused for its form.
        PlistValue::Dictionary identity = disk99With({{"DeviceIdentifier", identifier},
                                                      {"DeviceNode", "/dev/" + std::string(identifier)},
                                                      {"ParentWholeDisk", identifier}});
        EXPECT_PROOF_ERROR(validateDiskIdentity(identity, identifier), form);
    }
}

TEST(DiskIdentity, SizeBoundaryIsSixtyFourMebibytes)
{
    EXPECT_EQ(validateDiskIdentity(disk99With({{"TotalSize", std::int64_t {67108864}}}), "disk99").sizeBytes, 67108864);
    EXPECT_EQ(validateDiskIdentity(disk99With({{"TotalSize", 134217728.0}}), "disk99").sizeBytes, 134217728);
}

TEST(DiskIdentity, TokenChangesWithEveryIdentityField)
{
    std::string original = validateDiskIdentity(disk99(), "disk99").confirmationToken;
    for (const auto& change : std::vector<std::pair<const char*, PlistValue>> {
             {"MediaName", "Ferrolatch fixture 2"},
             {"BusProtocol", "Thunderbolt"},
             {"TotalSize", std::int64_t {134217729}},
             {"DeviceTreePath", "fixture:/external/usb2"}}) {
        SCOPED_TRACE(change.first);
        std::string token = validateDiskIdentity(disk99With({{change.first, change.second}}), "disk99").confirmationToken;
        EXPECT_NE(token, original);
        EXPECT_EQ(token.rfind("ERASE-disk99-", 0), 0u);
        EXPECT_EQ(token.size(), std::string("ERASE-disk99-").size() + 16);
    }
    EXPECT_NE(validateDiskIdentity(disk99With({{"DeviceIdentifier", "disk98"}, {"DeviceNode", "/dev/disk98"},
                                               {"ParentWholeDisk", "disk98"}}),
                                   "disk98")
                  .confirmationToken.substr(std::string("ERASE-disk98-").size()),
              original.substr(std::string("ERASE-disk99-").size()));
}

TEST(DiskIdentity, HexStringWritesTwoLowerCaseDigitsPerByte)
{
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
    EXPECT_EQ(hexString(bytes), "000fa0ff5c");
    EXPECT_EQ(hexString({}), "");
}

TEST(DiskIdentity, InspectionRunsDiskutilInfoForTheIdentifierAsGiven)
{
    FakeToolRunner tools;
    tools.answer({"info", "-plist", "disk99"}, fixture("disk_info_disk99.plist"));
    EXPECT_EQ(inspectWholeDisk(tools, "disk99").confirmationToken, "ERASE-disk99-fdb2b325688e6951");
    EXPECT_EQ(tools.calls[0].executable, "/usr/sbin/diskutil");

    // diskutil is asked before the form check, and the check still refuses.
    tools.answer({"info", "-plist", "/dev/disk99"}, fixture("disk_info_disk99.plist"));
    EXPECT_PROOF_ERROR(inspectWholeDisk(tools, "/dev/disk99"), form);
    EXPECT_EQ(tools.calls.back().arguments, (std::vector<std::string> {"info", "-plist", "/dev/disk99"}));

    tools.answer({"info", "-plist", "disk7"}, "<plist><array/></plist>");
    EXPECT_PROOF_ERROR(inspectWholeDisk(tools, "disk7"), "diskutil returned an unreadable disk identity");
    EXPECT_PROOF_ERROR(inspectWholeDisk(tools, "disk8"), "diskutil failed: Could not find disk: disk8");
}

TEST(ExternalDisks, ListsEligibleDisksInFinderOrderAndSkipsTheRestSilently)
{
    FakeToolRunner tools;
    tools.answer({"list", "-plist", "external", "physical"}, fixture("diskutil_list_external.plist"));
    tools.answer({"info", "-plist", "disk10"}, diskInfo("disk10"));
    tools.answer({"info", "-plist", "disk4"}, diskInfo("disk4"));
    std::string internalDisk = diskInfo("disk6");
    const std::string external = "<key>Internal</key>\n\t<false/>";
    internalDisk.replace(internalDisk.find(external), external.size(), "<key>Internal</key>\n\t<true/>");
    tools.answer({"info", "-plist", "disk6"}, internalDisk);

    std::vector<DriveInspection> disks = listEligibleExternalDisks(tools);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].deviceIdentifier, "disk4");
    EXPECT_EQ(disks[1].deviceIdentifier, "disk10");
    EXPECT_EQ(tools.calls[0].arguments, (std::vector<std::string> {"list", "-plist", "external", "physical"}));
}

TEST(ExternalDisks, EmptyOrIneligibleInventoriesGiveNoDisks)
{
    FakeToolRunner none;
    none.answer({"list", "-plist", "external", "physical"},
                "<plist><dict><key>WholeDisks</key><array/></dict></plist>");
    EXPECT_TRUE(listEligibleExternalDisks(none).empty());

    FakeToolRunner unreadable; // every info call fails: unscripted
    unreadable.answer({"list", "-plist", "external", "physical"}, fixture("diskutil_list_external.plist"));
    EXPECT_TRUE(listEligibleExternalDisks(unreadable).empty());
}

TEST(ExternalDisks, RefusesAnUnreadableInventory)
{
    for (const char* bytes : {"<plist><array/></plist>", "<plist><dict><key>AllDisks</key><array/></dict></plist>",
                              "<plist><dict><key>WholeDisks</key><array><integer>4</integer></array></dict></plist>",
                              "<plist><dict><key>WholeDisks</key><string>disk4</string></dict></plist>"}) {
        SCOPED_TRACE(bytes);
        EXPECT_PROOF_ERROR(parseExternalDiskInventory(bytes), "diskutil returned an unreadable external-disk inventory");
    }
}

TEST(DiskIdentity, PrintsTheRecordWithSortedKeysAndNumericSize)
{
    DriveInspection inspection = validateDiskIdentity(disk99(), "disk99");
    EXPECT_EQ(encodePrettyJSON(driveInspectionJSON(inspection)), disk99InspectionJSON);
}
