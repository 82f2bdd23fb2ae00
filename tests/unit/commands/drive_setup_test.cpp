#include "commands/drive_setup.h"
#include "commands/setup_drive_chooser.h"

#include "common/constants.h"
#include "tests/support/fakes.h"
#include "tests/support/expectations.h"
#include "tests/support/drive_fakes.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::drive_testing;
using namespace ferrolatch::testing;

namespace {

// Answers alerts in order; each answer may edit the accessory like a user would.
class AnsweringUi final : public Ui {
public:
    struct Answer {
        std::string expect;
        long response;
        std::function<void(Alert&)> edit;
    };
    std::deque<Answer> answers;
    std::vector<std::string> events;

    void prepareApplication() override { events.push_back("prepare"); }
    void activate() override { events.push_back("activate"); }
    void beep() override { events.push_back("beep"); }
    Size layoutSize(const Alert&) override { return {}; }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { return nullptr; }
    long runModal(Alert& alert) override
    {
        events.push_back(alert.messageText);
        if (answers.empty())
            throw ProofError("unanswered alert " + alert.messageText);
        Answer answer = std::move(answers.front());
        answers.pop_front();
        EXPECT_EQ(alert.messageText, answer.expect);
        if (answer.edit)
            answer.edit(alert);
        return answer.response;
    }
};

constexpr long first = alertFirstButtonReturn;
constexpr long second = alertFirstButtonReturn + 1;

std::function<void(Alert&)> typeName(std::string name, std::size_t disk = 0)
{
    return [name, disk](Alert& alert) {
        Grid& grid = std::get<Grid>(*alert.accessory);
        std::get<PopUpButton>(grid.rows[0].control).selectedIndex = disk;
        std::get<TextField>(grid.rows[1].control).text = name;
    };
}

std::function<void(Alert&)> typePhrase(std::string phrase)
{
    return [phrase](Alert& alert) { std::get<TextField>(*alert.accessory).text = phrase; };
}

DriveInspection disk(std::string identifier, std::string media, std::int64_t size)
{
    DriveInspection inspection;
    inspection.deviceIdentifier = identifier;
    inspection.deviceNode = "/dev/" + identifier;
    inspection.mediaName = std::move(media);
    inspection.busProtocol = "USB";
    inspection.sizeBytes = size;
    inspection.confirmationToken = "ERASE-" + identifier + "-0123456789abcdef";
    return inspection;
}

struct SetupFront : ::testing::Test {
    AnsweringUi ui;
    std::ostringstream out;
    MemoryFiles files;
    FakePaths paths;
    std::vector<DriveInspection> disks = {disk("disk4", "SanDisk Ultra", 134217728),
                                          disk("disk6", "Kingston", 31914983424)};
    std::vector<DriveSetupRequest> requests;
    SetupDriveServices services {ui, out, files, paths, [this] { return disks; },
                                 [this](const DriveSetupRequest& request) { requests.push_back(request); }};
    const std::string enrollments = "/Users/a/Library/Application Support/Ferrolatch/Enrollments";
};

}

TEST(ByteCount, WritesSizesLikeAMacFileSize)
{
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "Zero KB"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999499, "999 KB"},
        {999500, "1 MB"},
        {1000000, "1 MB"},
        {15500000, "15.5 MB"},
        {134217728, "134.2 MB"},
        {999950000, "1 GB"},
        {2000000000, "2 GB"},
        {31914983424, "31.91 GB"},
        {64023257088, "64.02 GB"},
        {1500000000000, "1.5 TB"},
        {9223372036854775807, "9.22 EB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(fileStyleByteCount(bytes), text) << bytes;
}

TEST(DiskChoice, TitleAndFreshUUIDs)
{
    EXPECT_EQ(diskChoiceTitle(disk("disk4", "SanDisk Ultra", 134217728)),
              "SanDisk Ultra \u2014 134.2 MB \u2014 USB \u2014 disk4");
    std::set<std::string> seen;
    for (int index = 0; index < 16; ++index) {
        std::string uuid = newLowercaseUUID();
        EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
            << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 16u);
}

TEST_F(SetupFront, ChosenDiskTokenAndNameGoToTheWorker)
{
    ui.answers = {{"Set up a Ferrolatch disk", first, typeName("CODE-BACKUPS", 1)},
                  {"Are you sure you want to erase Kingston?", second, typePhrase("ERASE disk6")},
                  {"Your Ferrolatch disk is ready", first, {}}};
    runSetupDrive(services);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].wholeDisk, "disk6");
    EXPECT_EQ(requests[0].confirmationToken, "ERASE-disk6-0123456789abcdef");
    EXPECT_EQ(requests[0].dataVolumeName, "CODE-BACKUPS");
    const std::string& path = requests[0].manifestPath;
    ASSERT_EQ(path.rfind(enrollments + "/setup-", 0), 0u) << path;
    EXPECT_TRUE(std::regex_match(path.substr(enrollments.size() + 1), std::regex("setup-[0-9a-f-]{36}\\.json"))) << path;
    EXPECT_EQ(files.entries.at(enrollments).mode, 0700u);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(ui.events, (std::vector<std::string> {"prepare", "activate", "activate", "Set up a Ferrolatch disk",
                                                    "Are you sure you want to erase Kingston?",
                                                    "Your Ferrolatch disk is ready"}));
}

TEST_F(SetupFront, RefusedNameKeepsTheChoicesAndAsksAgain)
{
    std::size_t selectedWhenShownAgain = 99;
    std::string nameWhenShownAgain;
    ui.answers = {{"Set up a Ferrolatch disk", first, typeName("a:b", 1)},
                  {"Choose a different volume name", first,
                   [](Alert& alert) {
                       EXPECT_EQ(alert.informativeText,
                                 "data volume name must be 1\u201364 safe characters and must not be FERROLATCH");
                   }},
                  {"Set up a Ferrolatch disk", second, [&](Alert& alert) {
                       Grid& grid = std::get<Grid>(*alert.accessory);
                       selectedWhenShownAgain = std::get<PopUpButton>(grid.rows[0].control).selectedIndex;
                       nameWhenShownAgain = std::get<TextField>(grid.rows[1].control).text;
                   }}};
    runSetupDrive(services);
    EXPECT_EQ(selectedWhenShownAgain, 1u);
    EXPECT_EQ(nameWhenShownAgain, "a:b");
    EXPECT_EQ(out.str(), "DRIVE SETUP CANCELLED\n");
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(files.mutations, 0);
}

TEST_F(SetupFront, OnlyTheExactPhraseErases)
{
    for (const char* typed : {"erase disk4", "ERASE disk4 ", " ERASE disk4", "ERASE  disk4", "ERASE-disk4-0123456789abcdef"}) {
        SCOPED_TRACE(typed);
        ui.answers = {{"Set up a Ferrolatch disk", first, {}},
                      {"Are you sure you want to erase SanDisk Ultra?", second, typePhrase(typed)}};
        EXPECT_PROOF_ERROR(runSetupDrive(services), "the erase confirmation did not exactly match ERASE disk4");
    }
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(files.mutations, 0);
}

TEST_F(SetupFront, NoDiskOrAnyCancelEndsQuietly)
{
    ui.answers = {{"Set up a Ferrolatch disk", alertAbortedResponse, {}},
                  {"Set up a Ferrolatch disk", first, {}},
                  {"Are you sure you want to erase SanDisk Ultra?", first, typePhrase("ERASE disk4")}};
    runSetupDrive(services);
    runSetupDrive(services);
    EXPECT_EQ(out.str(), "DRIVE SETUP CANCELLED\nDRIVE SETUP CANCELLED\n");

    disks.clear();
    ui.events.clear();
    ui.answers = {{"Connect an external drive", first, {}}};
    runSetupDrive(services);
    EXPECT_EQ(ui.events, (std::vector<std::string> {"prepare", "activate", "activate", "Connect an external drive"}));
    EXPECT_EQ(out.str(), "DRIVE SETUP CANCELLED\nDRIVE SETUP CANCELLED\n");
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(files.mutations, 0);
}

namespace {

// A prompt suppression that must never be reached by a refused set-up.
class UnusedSuppression final : public VolumePromptSuppression {
public:
    bool install(std::string_view) override { ADD_FAILURE() << "registered"; return false; }
    void dismissStaleAgent() override {}
};

}

TEST(InitializeDrive, GuardsRunInOrderBeforeAnyPasskeyOrDiskChange)
{
    struct Case {
        std::string name;
        std::string dataName;
        std::string manifestPath;
        std::string error;
        std::size_t toolRuns;
    };
    const std::string existing = "/Users/a/existing.json";
    const std::string nameRule = "data volume name must be 1\u201364 safe characters and must not be FERROLATCH";
    const std::string removable = "manifest output must be on the Mac, not on removable media";
    const std::vector<Case> cases = {
        {"name before the volumes check", "FERROLATCH", "/Volumes/X/m.json", nameRule, 0},
        {"name before the existing manifest", std::string(65, 'x'), existing,
         nameRule, 0},
        {"22 three-byte characters", [] { std::string s; for (int i = 0; i < 22; ++i) s += "\u20ac"; return s; }(),
         "/Users/a/m.json", nameRule, 0},
        {"volumes before the existing manifest", "PRIVATE", "/Volumes/existing.json", removable, 0},
        {"the virtual Mac's volumes too", "PRIVATE", "/sysroot/Volumes/FERROLATCH/m.json", removable, 0},
        {"volumes in lower case", "PRIVATE", "/volumes/FERROLATCH/m.json", removable, 0},
        {"the virtual Mac's volumes in another case", "PRIVATE", "/sysroot/VOLUMES/FERROLATCH/m.json", removable, 0},
        {"existing manifest", "PRIVATE", existing, "refusing to replace existing manifest at " + existing, 0},
        {"token of another disk", "PRIVATE", "/Users/a/new/m.json",
         "confirmation token does not match the currently attached whole disk", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTools tools;
        if (c.toolRuns)
            tools.expect({"info", "-plist", "disk99"}, fixture("disk_info_disk99.plist"));
        MemoryFiles files;
        files.put(existing, "{}");
        files.put("/Volumes/existing.json", "{}");
        RecordingLog log;
        class SysrootPaths final : public Paths {
        public:
            std::string mainBundle() override { return "/Applications/Ferrolatch.app"; }
            std::optional<std::string> bundleResource(std::string_view, std::string_view) override { return {}; }
            std::string applicationSupportDirectory() override { return "/Users/a/Library/Application Support"; }
            std::string systemFile(std::string_view path) override { return "/sysroot" + std::string(path); }
        } paths;
        FakeWorkspace workspace;
        std::ostringstream out;
        UnusedSuppression suppression;
        class StillClock final : public Clock {
        public:
            double now() override { return 0; }
        } clock;
        int enrollments = 0;
        DriveSetupServices services {tools, files, log, paths, workspace, out, clock, suppression,
                                     [&](std::span<const std::uint8_t>) {
                                         ++enrollments;
                                         return NativeReply {};
                                     },
                                     [](const Manifest&) { return SecretBytes {}; }, {}, {}};
        int mutationsBefore = files.mutations;
        EXPECT_PROOF_ERROR(initializeDrive(services, {"disk99", "ERASE-disk99-0000000000000000", c.dataName, c.manifestPath}),
                           c.error);
        EXPECT_EQ(tools.calls.size(), c.toolRuns);
        EXPECT_EQ(enrollments, 0);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(files.entries.at(existing).contents, "{}");
        // Only the manifest's directory may have been made, and only once the refusals before it passed.
        EXPECT_EQ(files.mutations - mutationsBefore, c.toolRuns ? 1 : 0);
    }
}
