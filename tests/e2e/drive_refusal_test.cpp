#include "tests/e2e/drive_test_support.h"

#include <functional>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

struct Refusal {
    std::string name;
    // Prepares the Mac and returns init-drive's four arguments.
    std::function<std::vector<std::string>(DriveBench&, const std::string& token)> arguments;
    std::string error;         // "@" stands for the manifest path
    std::size_t passkeysAfter; // 0: refused before the passkey prompt
    enum class Manifest { Absent, Pending, Untouched } manifest;
};

const std::string nameRule = "data volume name must be 1\u201364 safe characters and must not be FERROLATCH";

const std::vector<Refusal> refusals = {
    {"reserved name before the other refusals",
     [](DriveBench& m, const std::string& token) {
         return std::vector<std::string> {"disk4", token, "ferrolatch", m.mac.sysroot() + "/Volumes/OLDDATA/x.json"};
     },
     nameRule, 0, Refusal::Manifest::Absent},
    {"name with a tab",
     [](DriveBench& m, const std::string& token) {
         return std::vector<std::string> {"disk4", token, "a\tb", m.work + "/tab.json"};
     },
     nameRule, 0, Refusal::Manifest::Absent},
    {"manifest on the drive itself",
     [](DriveBench& m, const std::string& token) {
         return std::vector<std::string> {"disk4", token, "PRIVATE", m.mac.sysroot() + "/Volumes/OLDDATA/m.json"};
     },
     "manifest output must be on the Mac, not on removable media", 0, Refusal::Manifest::Absent},
    {"manifest under /Volumes",
     [](DriveBench&, const std::string& token) {
         return std::vector<std::string> {"disk4", token, "PRIVATE", "/Volumes/FERROLATCH/m.json"};
     },
     "manifest output must be on the Mac, not on removable media", 0, Refusal::Manifest::Absent},
    {"the virtual Mac's volumes in another case",
     [](DriveBench& m, const std::string& token) {
         return std::vector<std::string> {"disk4", token, "PRIVATE", m.mac.sysroot() + "/VOLUMES/OLDDATA/m.json"};
     },
     "manifest output must be on the Mac, not on removable media", 0, Refusal::Manifest::Absent},
    {"manifest through a link to the drive",
     [](DriveBench& m, const std::string& token) {
         fs::create_directory_symlink(m.mac.sysroot() + "/Volumes/OLDDATA", m.work + "/link");
         return std::vector<std::string> {"disk4", token, "PRIVATE", m.work + "/link/sub/m.json"};
     },
     "manifest output must be on the Mac, not on removable media", 0, Refusal::Manifest::Absent},
    {"existing manifest",
     [](DriveBench& m, const std::string& token) {
         std::string existing = m.work + "/existing.json";
         std::ofstream(existing) << "{\"keep\": true}";
         return std::vector<std::string> {"disk4", token, "PRIVATE", existing};
     },
     "refusing to replace existing manifest at @", 0, Refusal::Manifest::Untouched},
    {"token of another disk",
     [](DriveBench& m, const std::string&) {
         m.addDisk("Kingston DataTraveler", "256m");
         std::string other = m.state()["disks"].back()["identifier"];
         return std::vector<std::string> {"disk4", m.token(other), "PRIVATE", m.work + "/other.json"};
     },
     "confirmation token does not match the currently attached whole disk", 0, Refusal::Manifest::Absent},
    {"disk swapped during enrollment",
     [](DriveBench& m, const std::string& token) {
         // The second inspection sees another medium behind the same identifier.
         m.mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "info -plist disk4", "--nth", "2",
                              "--set-disk", "disk4", "MediaName", "Imposter Flash"});
         return std::vector<std::string> {"disk4", token, "PRIVATE", m.work + "/swapped.json"};
     },
     "disk identity changed after passkey enrollment; refusing to erase", 1, Refusal::Manifest::Pending},
};

bool erasedSince(const std::vector<json>& calls, std::size_t start)
{
    return std::any_of(calls.begin() + static_cast<std::ptrdiff_t>(start), calls.end(),
                       [](const json& call) { return call["argv"][0] == "eraseDisk"; });
}

std::string withPath(std::string text, const std::string& path)
{
    if (std::size_t at = text.find('@'); at != std::string::npos)
        text.replace(at, 1, path);
    return text;
}

}

// Each refusal happens at its own step, and the disk's data stays where it was.
TEST(DriveRefusals, InitDriveRefusesUnsafeRequestsWithoutErasing)
{
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        DriveBench m;
        m.addDisk();
        std::string precious = m.formatWithData("disk4");
        std::string token = m.token("disk4");
        std::vector<std::string> arguments = refusal.arguments(m, token);
        const std::string& manifestPath = arguments[3];
        json before = m.layout();
        std::size_t callsBefore = m.audit().size();

        std::vector<std::string> command = {"init-drive"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        RunResult refused = m.ferrolatch(command, initScript());
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "ferrolatch-proof: " + withPath(refusal.error, manifestPath) + "\n");

        EXPECT_EQ(m.layout(), before) << "the disk was changed";
        EXPECT_FALSE(erasedSince(m.audit(), callsBefore));
        EXPECT_EQ(readTextFile(precious), "precious");
        EXPECT_EQ(m.passkeyCount(), refusal.passkeysAfter);
        if (refusal.passkeysAfter == 0) {
            EXPECT_TRUE(m.alertMessages().empty()) << "a passkey prompt appeared";
            EXPECT_EQ(refused.out, "");
        }
        switch (refusal.manifest) {
        case Refusal::Manifest::Absent:
            EXPECT_FALSE(fs::exists(manifestPath));
            break;
        case Refusal::Manifest::Pending:
            EXPECT_EQ(json::parse(readTextFile(manifestPath))["resourceKind"], "native-apfs-volume-pending");
            break;
        case Refusal::Manifest::Untouched:
            EXPECT_EQ(readTextFile(manifestPath), "{\"keep\": true}");
            break;
        }
    }
}

TEST_F(DriveMac, BootstrapNameIsRefusedInAnyLetterCaseButLookalikesPass)
{
    addDisk();
    RunResult accepted = initDrive("disk4", work + "/backups.json", "CODE-BACKUPS");
    ASSERT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_TRUE(volumeNamed("CODE-BACKUPS"));
    for (const char* name : {"FERROLATCH", "Ferrolatch"}) {
        RunResult refused = initDrive("disk4", work + "/" + name + ".json", name);
        EXPECT_EQ(refused.err, "ferrolatch-proof: " + nameRule + "\n");
    }
}
