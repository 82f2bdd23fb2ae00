#include "finder/drive_eject.h"
#include "tests/support/drive_fakes.h"
#include "tests/support/fakes.h"
#include "tests/support/registry_fakes.h"

#include <gtest/gtest.h>

namespace ferrolatch::FerrolatchEject {
namespace {

using namespace ferrolatch::testing;
using drive_testing::flag;
using drive_testing::inventory;
using drive_testing::plistDocument;

const std::string vault = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string photos = "1A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string stranger = "2A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string lowerVault = "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9";

// The mounted-volume listing, with the names the system reports.
class NamedVolumes final : public MountedVolumes {
public:
    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override
    {
        EXPECT_EQ(hidden, Hidden::Listed);
        ++listings;
        return listed;
    }
    void name(const std::string& path, std::optional<std::string> name) { listed.push_back({path, std::move(name)}); }
    std::vector<MountedVolumeInfo> listed;
    int listings = 0;
};

std::string describe(const std::string& mountPoint, const std::string& uuid, bool internal = false,
                     bool fileVault = true)
{
    return plistDocument("<dict><key>MountPoint</key><string>" + mountPoint + "</string><key>VolumeUUID</key><string>"
                         + uuid + "</string><key>Internal</key>" + flag(internal) + "<key>FileVault</key>"
                         + flag(fileVault) + "</dict>");
}

MountedVolume mounted(std::string url, std::optional<std::string> uuid, bool internal = false)
{
    return {std::move(url), std::move(uuid), internal};
}

// A Mac whose registry enrolls the given volumes.
struct EjectBench {
    MemoryFiles files;
    FakePaths paths;
    FakeToolRunner tools;
    RecordingSuppression suppression;

    void enroll(const std::string& uuid, const std::string& name)
    {
        registerDrive(files, paths, suppression, enrolledVolumeManifest(uuid, name));
    }
    void list(const std::vector<APFSVolume>& volumes)
    {
        tools.answer({"apfs", "list", "-plist"}, inventory("disk9", volumes));
    }
};

struct OfferCase {
    std::string name;
    APFSVolume volume;
    std::optional<ToolOutcome> info; // none: diskutil cannot describe the device
    std::vector<MountedVolume> expected;
};

TEST(DriveEject, MountedEnrolledVolumesAreTheUnlockedEncryptedExternalMountedOnes)
{
    const std::string device = "disk4s2";
    const OfferCase cases[] = {
        {"unlocked and mounted", {device, vault, "Vault", true, false}, ToolOutcome {0, describe("/Volumes/Vault", vault), ""},
         {mounted("/Volumes/Vault", vault)}},
        {"locked", {device, vault, "Vault", true, true}, ToolOutcome {0, describe("/Volumes/Vault", vault), ""}, {}},
        {"not enrolled", {device, stranger, "Other", true, false},
         ToolOutcome {0, describe("/Volumes/Other", stranger), ""}, {}},
        {"inventory and diskutil in lower case", {device, lowerVault, "Vault", true, false},
         ToolOutcome {0, describe("/Volumes/Vault/", lowerVault), ""}, {mounted("/Volumes/Vault", vault)}},
        {"FileVault false", {device, vault, "Vault", true, false},
         ToolOutcome {0, describe("/Volumes/Vault", vault, false, false), ""}, {}},
        {"internal storage", {device, vault, "Vault", true, false},
         ToolOutcome {0, describe("/Volumes/Vault", vault, true), ""}, {}},
        {"no mount point", {device, vault, "Vault", true, false}, ToolOutcome {0, describe("", vault), ""}, {}},
        {"mounted at /", {device, vault, "Vault", true, false}, ToolOutcome {0, describe("/", vault), ""}, {}},
        {"diskutil names another volume", {device, vault, "Vault", true, false},
         ToolOutcome {0, describe("/Volumes/Vault", photos), ""}, {}},
        {"diskutil fails", {device, vault, "Vault", true, false}, std::nullopt, {}},
        {"not a property list", {device, vault, "Vault", true, false}, ToolOutcome {0, "Vault is mounted", ""}, {}},
        {"a property list that is no dictionary", {device, vault, "Vault", true, false},
         ToolOutcome {0, plistDocument("<array><string>x</string></array>"), ""}, {}},
    };
    for (const OfferCase& c : cases) {
        SCOPED_TRACE(c.name);
        EjectBench bench;
        bench.enroll(vault, "Vault");
        bench.enroll(photos, "Photos");
        bench.list({c.volume});
        if (c.info)
            bench.tools.answer({"info", "-plist", device}, *c.info);
        EXPECT_EQ(mountedEnrolledVolumes(bench.files, bench.paths, bench.tools), c.expected);
    }
}

TEST(DriveEject, MountedEnrolledVolumesKeepInventoryOrderAndSurviveAFailedInventory)
{
    EjectBench bench;
    bench.enroll(vault, "Vault");
    bench.enroll(photos, "Photos");
    // No inventory at all: nothing is offered, nothing fails.
    EXPECT_TRUE(mountedEnrolledVolumes(bench.files, bench.paths, bench.tools).empty());

    bench.list({{"disk5s2", photos, "Photos", true, false}, {"disk4s2", vault, "Vault", true, false}});
    bench.tools.answer({"info", "-plist", "disk5s2"}, describe("/Volumes/Photos", photos));
    bench.tools.answer({"info", "-plist", "disk4s2"}, describe("/Volumes/Vault", vault));
    EXPECT_EQ(mountedEnrolledVolumes(bench.files, bench.paths, bench.tools),
              (std::vector<MountedVolume> {mounted("/Volumes/Photos", photos), mounted("/Volumes/Vault", vault)}));
}

struct TargetCase {
    std::string name;
    std::vector<MountedVolume> volumes;
    std::vector<std::pair<std::string, std::optional<std::string>>> names; // mount location, reported name
    std::vector<Target> expected;
};

TEST(DriveEject, TargetsAreTheFirstExternalEnrolledVolumePerUUIDInFinderOrder)
{
    const std::set<std::string> enrolled {vault, photos};
    const TargetCase cases[] = {
        {"one volume", {mounted("/Volumes/Vault", vault)}, {{"/Volumes/Vault", "Vault"}},
         {{vault, "/Volumes/Vault"}}},
        {"the same UUID twice: the first listed wins",
         {mounted("/Volumes/Vault 1", vault), mounted("/Volumes/Vault", vault)}, {},
         {{vault, "/Volumes/Vault 1"}}},
        {"a number's value decides: 2 before 10",
         {mounted("/Volumes/A", vault), mounted("/Volumes/B", photos)}, {{"/Volumes/A", "Volume 10"}, {"/Volumes/B", "Volume 2"}},
         {{photos, "/Volumes/B"}, {vault, "/Volumes/A"}}},
        {"letter case does not count",
         {mounted("/Volumes/A", vault), mounted("/Volumes/B", photos)}, {{"/Volumes/A", "zeta"}, {"/Volumes/B", "Alpha"}},
         {{photos, "/Volumes/B"}, {vault, "/Volumes/A"}}},
        {"equal names keep their list order",
         {mounted("/Volumes/A", vault), mounted("/Volumes/B", photos)}, {{"/Volumes/A", "Backup"}, {"/Volumes/B", "backup"}},
         {{vault, "/Volumes/A"}, {photos, "/Volumes/B"}}},
        {"without a reported name the mount location's name sorts",
         {mounted("/Volumes/Volume 10", vault), mounted("/Volumes/Volume 9", photos)}, {},
         {{photos, "/Volumes/Volume 9"}, {vault, "/Volumes/Volume 10"}}},
        {"lower-case UUID and a trailing slash", {mounted("/Volumes/Vault/", lowerVault)}, {},
         {{vault, "/Volumes/Vault"}}},
        {"internal", {mounted("/Volumes/Vault", vault, true)}, {}, {}},
        {"the root volume", {mounted("/", vault)}, {}, {}},
        {"not enrolled", {mounted("/Volumes/Other", stranger)}, {}, {}},
        {"no UUID", {mounted("/Volumes/Vault", std::nullopt)}, {}, {}},
        {"a UUID that does not parse", {mounted("/Volumes/Vault", "Vault")}, {}, {}},
        {"nothing mounted", {}, {}, {}},
    };
    for (const TargetCase& c : cases) {
        SCOPED_TRACE(c.name);
        NamedVolumes listing;
        for (const auto& [path, name] : c.names)
            listing.name(path, name);
        EXPECT_EQ(ejectTargets(enrolled, c.volumes, listing), c.expected);
    }
}

TEST(DriveEject, DisplayNameIsTheReportedNameElseTheMountLocationsLastComponent)
{
    NamedVolumes listing;
    listing.name("/Volumes/Vault 1", "Vault");
    listing.name("/Volumes/Unnamed", std::nullopt);
    listing.name("/Volumes/Blank", "");
    EXPECT_EQ(targetDisplayName({vault, "/Volumes/Vault 1"}, listing), "Vault");
    EXPECT_EQ(targetDisplayName({vault, "/Volumes/Unnamed"}, listing), "Unnamed");
    EXPECT_EQ(targetDisplayName({vault, "/Volumes/Blank"}, listing), "Blank");
    EXPECT_EQ(targetDisplayName({vault, "/Volumes/Gone"}, listing), "Gone");
}

TEST(DriveEject, EjectVolumeEjectsTheMatchingTargetOrSaysItIsNoLongerMounted)
{
    const std::set<std::string> enrolled {vault, photos};
    const std::vector<MountedVolume> volumes {mounted("/Volumes/Vault/", vault), mounted("/Volumes/Photos", photos)};
    NamedVolumes listing;
    std::vector<std::string> ejected;
    auto eject = [&](const std::string& url) { ejected.push_back(url); };

    ejectVolume(vault, enrolled, volumes, listing, eject);
    EXPECT_EQ(ejected, std::vector<std::string> {"/Volumes/Vault"});

    struct Missing {
        std::string name;
        std::string uuid;
        std::vector<MountedVolume> volumes;
    };
    const Missing missing[] = {
        {"unmounted elsewhere", vault, {mounted("/Volumes/Photos", photos)}},
        {"the UUID must match exactly", lowerVault, volumes},
        {"no longer external", vault, {mounted("/Volumes/Vault", vault, true)}},
    };
    for (const Missing& c : missing) {
        SCOPED_TRACE(c.name);
        ejected.clear();
        try {
            ejectVolume(c.uuid, enrolled, c.volumes, listing, eject);
            ADD_FAILURE() << "ejected";
        } catch (const PlatformError& error) {
            EXPECT_TRUE(error.is("Ferrolatch", 1));
            EXPECT_STREQ(error.what(), "This Ferrolatch drive is no longer mounted.");
        }
        EXPECT_TRUE(ejected.empty());
    }

    // The workspace's failure is the eject's, unchanged.
    try {
        ejectVolume(photos, enrolled, volumes, listing, [](const std::string&) {
            throw PlatformError("NSOSStatusErrorDomain", -47, "The volume \u201CPhotos\u201D is in use.");
        });
        ADD_FAILURE() << "no failure";
    } catch (const PlatformError& error) {
        EXPECT_TRUE(error.is("NSOSStatusErrorDomain", -47));
        EXPECT_STREQ(error.what(), "The volume \u201CPhotos\u201D is in use.");
    }
}

}
}
