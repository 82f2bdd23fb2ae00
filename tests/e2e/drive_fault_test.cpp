#include "tests/e2e/drive_test_support.h"

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

enum class ManifestStage { None, Pending, Final };
enum class DataVolume { Absent, Unlocked, Locked };

// One failing tool call of init-drive and what must remain afterwards. The
// calls run in this order: two inspections, the erase, the container and
// bootstrap look-ups, the volume creation between two listings, the data
// mount point, the guarded sync and lock, the final sync, then the proof.
struct Fault {
    std::string name;
    std::string tool;
    std::string prefix; // empty: any call of the tool
    int nth;
    ManifestStage manifest;
    DataVolume data;
    bool erased;
    bool registered;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class InitDriveFault : public DriveMac, public ::testing::WithParamInterface<Fault> {};

}

TEST_P(InitDriveFault, LeavesExactlyTheStageItReached)
{
    const Fault& fault = GetParam();
    addDisk();
    std::string token = this->token("disk4");
    std::vector<std::string> add = {"fault", "add", "--tool", fault.tool, "--nth", std::to_string(fault.nth),
                                    "--exit", "1", "--stderr", "injected failure"};
    if (!fault.prefix.empty()) {
        add.push_back("--args-prefix");
        add.push_back(fault.prefix);
    }
    mac.macsimOrThrow(add);

    std::string manifestPath = work + "/private.json";
    RunResult failed = ferrolatch({"init-drive", "disk4", token, "PRIVATE", manifestPath}, initScript());
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "ferrolatch-proof: " + fault.tool + " failed: injected failure\n");
    EXPECT_EQ(failed.out.find("DRIVE INITIALIZATION PASSED"), std::string::npos);

    switch (fault.manifest) {
    case ManifestStage::None:
        EXPECT_FALSE(fs::exists(manifestPath));
        break;
    case ManifestStage::Pending:
    case ManifestStage::Final: {
        json manifest = json::parse(readTextFile(manifestPath));
        bool pending = fault.manifest == ManifestStage::Pending;
        EXPECT_EQ(manifest["resourceKind"], pending ? "native-apfs-volume-pending" : "native-apfs-volume");
        EXPECT_EQ(manifest.contains("volumeUUID"), !pending);
        EXPECT_EQ(manifest["volumeName"], "PRIVATE");
        break;
    }
    }

    std::optional<json> bootstrap = volumeNamed("FERROLATCH");
    EXPECT_EQ(bootstrap.has_value(), fault.erased);
    std::optional<json> data = volumeNamed("PRIVATE");
    EXPECT_EQ(data.has_value(), fault.data != DataVolume::Absent);
    if (data) {
        EXPECT_TRUE((*data)["encrypted"]);
        EXPECT_EQ((*data)["locked"], fault.data == DataVolume::Locked);
    }

    std::string drives = home + "/Library/Application Support/Ferrolatch/Drives";
    EXPECT_EQ(fs::exists(drives) && !fs::is_empty(drives), fault.registered);
    if (fault.registered) {
        std::string root = (*bootstrap)["mountPoint"];
        EXPECT_TRUE(fs::exists(root + "/ferrolatch.json"));
        EXPECT_TRUE(fs::exists(root + "/README-FERROLATCH.txt"));
    }
    // Only a failing first inspection comes before the passkey is made.
    EXPECT_EQ(passkeyCount(), fault.manifest == ManifestStage::None ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EachToolStep, InitDriveFault,
    ::testing::Values(
        Fault {"first_inspection", "diskutil", "info -plist", 1, ManifestStage::None, DataVolume::Absent, false, false},
        Fault {"second_inspection", "diskutil", "info -plist", 2, ManifestStage::Pending, DataVolume::Absent, false,
               false},
        Fault {"erase", "diskutil", "eraseDisk", 1, ManifestStage::Pending, DataVolume::Absent, false, false},
        Fault {"container_lookup", "diskutil", "apfs list", 1, ManifestStage::Pending, DataVolume::Absent, true, false},
        Fault {"bootstrap_lookup", "diskutil", "apfs list", 2, ManifestStage::Pending, DataVolume::Absent, true, false},
        Fault {"bootstrap_mount_point", "diskutil", "info -plist", 3, ManifestStage::Pending, DataVolume::Absent, true,
               false},
        Fault {"listing_before_creation", "diskutil", "apfs list", 3, ManifestStage::Pending, DataVolume::Absent, true,
               false},
        Fault {"volume_creation", "diskutil", "apfs addVolume", 1, ManifestStage::Pending, DataVolume::Absent, true,
               false},
        // Once the volume exists, failing to list or mount it leaves it as it was: open.
        Fault {"listing_after_creation", "diskutil", "apfs list", 4, ManifestStage::Pending, DataVolume::Unlocked, true,
               false},
        Fault {"data_mount_point", "diskutil", "info -plist", 4, ManifestStage::Pending, DataVolume::Unlocked, true,
               false},
        // Inside the guarded block one more lock is tried before the error leaves.
        Fault {"guarded_sync", "sync", "", 1, ManifestStage::Pending, DataVolume::Locked, true, false},
        Fault {"guarded_lock", "diskutil", "apfs lockVolume", 1, ManifestStage::Pending, DataVolume::Locked, true,
               false},
        Fault {"final_sync", "sync", "", 2, ManifestStage::Final, DataVolume::Locked, true, true},
        Fault {"proof_lookup", "diskutil", "apfs list", 5, ManifestStage::Final, DataVolume::Locked, true, true},
        Fault {"proof_unlock", "diskutil", "apfs unlockVolume", 1, ManifestStage::Final, DataVolume::Locked, true,
               true},
        Fault {"proof_mount_point", "diskutil", "info -plist", 5, ManifestStage::Final, DataVolume::Locked, true, true},
        Fault {"proof_lock", "diskutil", "apfs lockVolume", 2, ManifestStage::Final, DataVolume::Locked, true, true}),
    [](const ::testing::TestParamInfo<Fault>& step) { return step.param.name; });
