#include "tests/e2e/drive_test_support.h"

#include <regex>
#include <sys/stat.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

const std::string nameRule = "data volume name must be 1\u201364 safe characters and must not be FERROLATCH";

json answer(const std::string& expect, const std::string& button, json fields = nullptr)
{
    json entry = {{"expect", expect}, {"button", button}};
    if (!fields.is_null())
        entry["fields"] = std::move(fields);
    return entry;
}

std::vector<json> alerts(DriveBench& m)
{
    std::vector<json> found;
    for (const json& line : m.shown())
        if (line["kind"] == "alert")
            found.push_back(line);
    return found;
}

std::string enrollments(DriveBench& m) { return m.home + "/Library/Application Support/Ferrolatch/Enrollments"; }

}

TEST_F(DriveMac, SetupDriveWithoutAnEligibleDiskOnlySaysSo)
{
    RunResult result = ferrolatch({"setup-drive"}, json::array({answer("Connect an external drive", "OK")}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    std::vector<json> shownAlerts = alerts(*this);
    ASSERT_EQ(shownAlerts.size(), 1u);
    EXPECT_EQ(shownAlerts[0]["style"], "warning");
    EXPECT_EQ(shownAlerts[0]["informative"],
              "Ferrolatch found no eligible physical external drive. Connect the USB drive you want to set up, then "
              "choose Set Up a Drive\u2026 again.");
    EXPECT_EQ(shownAlerts[0]["buttons"], json::parse(R"([{"title":"OK","destructive":false}])"));
    std::vector<json> lines = shown();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2]["kind"], "activate");
}

TEST_F(DriveMac, SetupDriveSetsUpTheChosenDiskUnderTheTypedName)
{
    addDisk();
    addDisk("Kingston DataTraveler", "256m");
    json script = json::array({
        {{"expect", "Set up a Ferrolatch disk"}, {"button", "Continue"}, {"select", 1}, {"fields", {"CODE-BACKUPS"}}},
        answer("Are you sure you want to erase Kingston DataTraveler?", "Erase and Set Up", {"ERASE disk5"}),
        enrollAnswer, signInAnswer, passwordsLater, cardLater, answer("Your Ferrolatch disk is ready", "Done"),
    });
    RunResult result = ferrolatch({"setup-drive"}, script);
    ASSERT_EQ(result.status, 0) << result.err;

    std::vector<json> shownAlerts = alerts(*this);
    ASSERT_EQ(shownAlerts.size(), 7u);
    const json& setup = shownAlerts[0];
    EXPECT_EQ(setup["style"], "critical");
    EXPECT_EQ(setup["buttons"],
              json::parse(R"([{"title":"Continue","destructive":false},{"title":"Cancel","destructive":false}])"));
    const json& grid = setup["accessory"];
    EXPECT_EQ(grid["kind"], "grid");
    EXPECT_EQ(grid["size"], json::parse(R"({"width":560.0,"height":72.0})"));
    EXPECT_EQ(grid["rows"][0]["label"], "External drive:");
    EXPECT_EQ(grid["rows"][0]["control"]["items"],
              json({"SanDisk Ultra \u2014 134.2 MB \u2014 USB \u2014 disk4",
                    "Kingston DataTraveler \u2014 268.4 MB \u2014 USB \u2014 disk5"}));
    EXPECT_EQ(grid["rows"][0]["control"]["selectedIndex"], 0);
    EXPECT_EQ(grid["rows"][1]["label"], "Encrypted volume:");
    EXPECT_EQ(grid["rows"][1]["control"]["text"], "PRIVATE");
    EXPECT_EQ(grid["rows"][1]["control"]["placeholder"], "Encrypted volume name");

    const json& erase = shownAlerts[1];
    EXPECT_EQ(erase["style"], "critical");
    EXPECT_EQ(erase["informative"], "This permanently erases disk5, 268.4 MB. Type ERASE disk5 to confirm.");
    EXPECT_EQ(erase["accessory"]["text"], "");
    EXPECT_EQ(erase["accessory"]["placeholder"], "ERASE disk5");
    EXPECT_EQ(erase["accessory"]["size"], json::parse(R"({"width":360.0,"height":24.0})"));
    EXPECT_TRUE(erase["accessory"]["firstResponder"]);
    EXPECT_EQ(erase["buttons"],
              json::parse(R"([{"title":"Cancel","destructive":false},{"title":"Erase and Set Up","destructive":true}])"));
    EXPECT_EQ(shownAlerts[6]["style"], "informational");
    EXPECT_EQ(shownAlerts[6]["informative"],
              "Restore your files from your backup. Eject it normally when you are finished; on later insertions, "
              "approve the Ferrolatch passkey prompt to unlock it.");

    // Only disk5 was touched, and the manifest went to a fresh enrollment file.
    EXPECT_NE(result.out.find("PASSKEY ENROLLED \u2014 erasing exact device /dev/disk5\n"), std::string::npos);
    std::optional<json> data = volumeNamed("CODE-BACKUPS");
    ASSERT_TRUE(data);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.out, match, std::regex("Local recovery envelope: (.*)\n$"))) << result.out;
    std::string manifestPath = match[1];
    EXPECT_EQ(fs::path(manifestPath).parent_path().string(), enrollments(*this));
    EXPECT_TRUE(std::regex_match(fs::path(manifestPath).filename().string(),
                                 std::regex("setup-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.json")))
        << manifestPath;
    EXPECT_EQ(json::parse(readTextFile(manifestPath))["volumeUUID"], (*data)["uuid"]);
    struct stat status {};
    ASSERT_EQ(stat(enrollments(*this).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    json current = state();
    for (const json& volume : current["volumes"])
        EXPECT_NE(volume["device"].get<std::string>().rfind("disk4", 0), 0u) << "disk4 holds a volume now";
}

TEST(DriveSetup, CancellingOrMistypingThePhraseChangesNothing)
{
    struct Case {
        std::string name;
        json script;
        int status;
        std::string out;
        std::string err;
    };
    const std::string mismatch = "ferrolatch-proof: the erase confirmation did not exactly match ERASE disk4\n";
    auto confirmWith = [](const std::string& typed) {
        return json::array({answer("Set up a Ferrolatch disk", "Continue"),
                            answer("Are you sure you want to erase SanDisk Ultra?", "Erase and Set Up", {typed})});
    };
    const std::vector<Case> cases = {
        {"cancel in the set-up alert", json::array({answer("Set up a Ferrolatch disk", "Cancel")}), 0,
         "DRIVE SETUP CANCELLED\n", ""},
        {"set-up alert closed", json::array({{{"expect", "Set up a Ferrolatch disk"}, {"dismiss", true}}}), 0,
         "DRIVE SETUP CANCELLED\n", ""},
        {"cancel in the erase alert",
         json::array({answer("Set up a Ferrolatch disk", "Continue"),
                      answer("Are you sure you want to erase SanDisk Ultra?", "Cancel", {"ERASE disk4"})}),
         0, "DRIVE SETUP CANCELLED\n", ""},
        {"phrase in lower case", confirmWith("erase disk4"), 1, "", mismatch},
        {"phrase with a trailing space", confirmWith("ERASE disk4 "), 1, "", mismatch},
        {"the token instead of the phrase", confirmWith("ERASE-disk4"), 1, "", mismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveBench m;
        m.addDisk();
        json before = m.layout();
        RunResult result = m.ferrolatch({"setup-drive"}, c.script);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(m.layout(), before);
        EXPECT_EQ(m.passkeyCount(), 0u);
        EXPECT_FALSE(fs::exists(enrollments(m)));
    }
}

TEST_F(DriveMac, SetupDriveAsksAgainForARefusedNameKeepingTheChoices)
{
    addDisk();
    addDisk("Kingston DataTraveler", "256m");
    json script = json::array({
        {{"expect", "Set up a Ferrolatch disk"}, {"button", "Continue"}, {"select", 1}, {"fields", {"Ferrolatch"}}},
        answer("Choose a different volume name", "Try Again"),
        answer("Set up a Ferrolatch disk", "Cancel"),
    });
    RunResult result = ferrolatch({"setup-drive"}, script);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "DRIVE SETUP CANCELLED\n");
    std::vector<json> shownAlerts = alerts(*this);
    ASSERT_EQ(shownAlerts.size(), 3u);
    EXPECT_EQ(shownAlerts[1]["style"], "warning");
    EXPECT_EQ(shownAlerts[1]["informative"], nameRule);
    EXPECT_EQ(shownAlerts[1]["buttons"], json::parse(R"([{"title":"Try Again","destructive":false}])"));
    const json& rows = shownAlerts[2]["accessory"]["rows"];
    EXPECT_EQ(rows[0]["control"]["selectedIndex"], 1);
    EXPECT_EQ(rows[1]["control"]["text"], "Ferrolatch");
}
