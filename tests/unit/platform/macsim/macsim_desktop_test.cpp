#include "commands/passwords_handoff.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/macsim/macsim_windows.h"

#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace ferrolatch;
using recovery_testing::textOf;

namespace {

struct TemporarySysroot : ::testing::Test {
    std::string root;
    recovery_testing::FakeWorkspace icons; // stands in for the wrapped icon workspace

    TemporarySysroot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-desktop-XXXXXX").string();
        root = mkdtemp(pattern.data());
    }
    ~TemporarySysroot() override { std::filesystem::remove_all(root); }

    void write(const std::string& path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void recordOpen(const std::string& application)
    {
        std::filesystem::create_directories(std::filesystem::path(MacsimDesktopWorkspace::openLog(root)).parent_path());
        std::ofstream(MacsimDesktopWorkspace::openLog(root), std::ios::app)
            << "{\"application\":\"" << application << "\",\"targets\":[]}\n";
    }
};

}

TEST_F(TemporarySysroot, PasteboardKeepsOneStringInAPrivateFile)
{
    MacsimPasteboard pasteboard(root);
    EXPECT_FALSE(pasteboard.readString());
    pasteboard.clearContents(); // clearing an empty pasteboard is fine

    std::string bytes("first\0second", 12);
    ASSERT_TRUE(pasteboard.setString(SecretBytes::copyOf(bytes).bytes()));
    auto read = pasteboard.readString();
    ASSERT_TRUE(read);
    EXPECT_EQ(textOf(*read), bytes);

    struct stat info {};
    ASSERT_EQ(stat(MacsimPasteboard::pasteboardFile(root).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(pasteboard.setString(SecretBytes::copyOf("next").bytes()));
    EXPECT_EQ(textOf(*pasteboard.readString()), "next");
    pasteboard.clearContents();
    EXPECT_FALSE(pasteboard.readString());
    EXPECT_FALSE(std::filesystem::exists(MacsimPasteboard::pasteboardFile(root)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(std::filesystem::path(MacsimPasteboard::pasteboardFile(root)).parent_path()),
                            std::filesystem::directory_iterator()),
              0)
        << "no temporary file left behind";
}

TEST_F(TemporarySysroot, DefaultMacHasOneScreenAndPasswordsStartsWhenOpened)
{
    MacsimDesktopWorkspace workspace(icons, root);
    Screen expected {{0, 0, 1440, 900}, {0, 0, 1440, 875}};
    EXPECT_EQ(workspace.screens(), std::vector<Screen> {expected});
    EXPECT_EQ(workspace.mainScreen(), expected);
    EXPECT_TRUE(workspace.runningApplicationPIDs("com.apple.Passwords").empty());
    EXPECT_TRUE(passwordsWindowFrames(workspace).empty());

    recordOpen("Safari");
    EXPECT_TRUE(workspace.runningApplicationPIDs("com.apple.Passwords").empty());
    recordOpen("Passwords");
    EXPECT_EQ(workspace.runningApplicationPIDs("com.apple.Passwords").size(), 1u);
    // One 800 by 600 window centred below the menu bar.
    EXPECT_EQ(passwordsWindowFrames(workspace), (std::vector<Rect> {{320, 137.5, 800, 600}}));
}

TEST_F(TemporarySysroot, TheStateFilePlacesWindowsAndScreens)
{
    write(MacsimDesktopWorkspace::stateFile(root), R"({
        "screens": [{"frame": {"x": 0, "y": 0, "width": 1440, "height": 900},
                     "visibleFrame": {"x": 0, "y": 0, "width": 1440, "height": 875}},
                    {"frame": {"x": 1440, "y": 0, "width": 1920, "height": 1080}}],
        "mainScreen": 1,
        "applications": [
            {"name": "Passwords", "bundleIdentifier": "com.apple.Passwords", "processIdentifier": 501,
             "windows": [{"layer": 0, "bounds": {"X": 0, "Y": 25, "Width": 600, "Height": 500}},
                         {"layer": 25, "bounds": {"X": 0, "Y": 0, "Width": 100, "Height": 100}},
                         {"layer": 0, "bounds": {"X": 0, "Y": 0, "Width": "wide", "Height": 100}}]},
            {"name": "Finder", "bundleIdentifier": "com.apple.finder", "processIdentifier": 300, "running": true,
             "windows": [{"layer": 0, "bounds": {"X": 10, "Y": 10, "Width": 300, "Height": 300}}]}]})");
    MacsimDesktopWorkspace workspace(icons, root);
    ASSERT_EQ(workspace.screens().size(), 2u);
    EXPECT_EQ(workspace.screens()[1].visibleFrame, (Rect {1440, 0, 1920, 1080})) << "defaults to the frame";
    EXPECT_EQ(workspace.mainScreen()->frame.x, 1440);

    auto before = workspace.onScreenWindowList();
    ASSERT_TRUE(before);
    EXPECT_EQ(before->size(), 1u) << "only Finder runs";
    EXPECT_EQ(before->front().ownerPID, 300);

    recordOpen("com.apple.Passwords");
    EXPECT_EQ(workspace.runningApplicationPIDs("com.apple.Passwords"), std::vector<std::int64_t> {501});
    auto after = workspace.onScreenWindowList();
    ASSERT_TRUE(after);
    ASSERT_EQ(after->size(), 4u);
    EXPECT_FALSE((*after)[2].bounds) << "bounds that do not convert are absent";
    EXPECT_EQ(passwordsWindowFrames(workspace), (std::vector<Rect> {{0, 375, 600, 500}}));
}

TEST_F(TemporarySysroot, AnUnreadableStateFileMeansTheDefaultMac)
{
    write(MacsimDesktopWorkspace::stateFile(root), "{not json");
    MacsimDesktopWorkspace workspace(icons, root);
    EXPECT_EQ(workspace.screens().size(), 1u);
    write(MacsimDesktopWorkspace::stateFile(root), R"({"screens": []})");
    EXPECT_TRUE(workspace.screens().empty());
    EXPECT_FALSE(workspace.mainScreen());
}

namespace {

TEST_F(TemporarySysroot, OpeningAFolderURLRecordsAFinderWindowAndAPageForItsBrowser)
{
    std::filesystem::create_directories(root + "/Volumes/My Vault");
    std::filesystem::create_directories(std::filesystem::path(MacsimDesktopWorkspace::openLog(root)).parent_path());
    MacsimDesktopWorkspace workspace(icons, root);
    std::string url = "file://" + root + "/Volumes/My%20Vault/";
    EXPECT_TRUE(workspace.openURL(url));
    EXPECT_FALSE(workspace.openURL("file://" + root + "/Volumes/Gone/"));
    EXPECT_TRUE(workspace.openURL("https://ferrolatch.example/"));
    std::ifstream log(MacsimDesktopWorkspace::openLog(root));
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line, "{\"application\":\"Finder\",\"targets\":[\"" + url + "\"]}");
    std::getline(log, line);
    EXPECT_EQ(line, "{\"application\":\"\",\"targets\":[\"https://ferrolatch.example/\"]}");
    EXPECT_FALSE(std::getline(log, line));
}

}

namespace {

// diskutil as the workspace's eject meets it: one scripted outcome.
class OneToolRun final : public ToolRunner {
public:
    explicit OneToolRun(ToolOutcome outcome) : m_outcome(std::move(outcome)) {}
    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override
    {
        std::string line = executable;
        for (const std::string& argument : arguments)
            line += " " + argument;
        runs.push_back(line);
        EXPECT_EQ(standardInput, nullptr);
        return m_outcome;
    }
    std::vector<std::string> runs;

private:
    ToolOutcome m_outcome;
};

}

TEST_F(TemporarySysroot, EjectRunsDiskutilEjectAndReportsFailuresAsFinderDoes)
{
    const std::string mountPoint = root + "/Volumes/PRIVATE";
    struct Case {
        std::string name;
        ToolOutcome outcome;
        std::optional<std::pair<long, std::string>> failure; // OSStatus and description
    };
    const Case cases[] = {
        {"ejected", {0, "Disk disk4 ejected\n", ""}, std::nullopt},
        {"a file is open",
         {1, "", "Unmount of disk4 failed: at least one volume could not be unmounted: dissented by PID 42 (/bin/cat)\n"},
         std::pair {-47L, std::string("The volume \u201CPRIVATE\u201D can\u2019t be ejected because it\u2019s currently "
                                      "in use.")}},
        {"another volume of the drive is in use",
         {1, "",
          "Unmount of disk4 failed: at least one volume could not be unmounted: dissented by PID 42 (/bin/cat)\n"
          "Volume FERROLATCH on disk5s1 failed to unmount: dissented by PID 42 (/bin/cat)\n"},
         std::pair {-47L, std::string("The volume \u201CFERROLATCH\u201D can\u2019t be ejected because it\u2019s "
                                      "currently in use.")}},
        {"gone already", {1, "", "Could not find disk: " + mountPoint + "\n"},
         std::pair {-35L, std::string("The volume \u201CPRIVATE\u201D can\u2019t be found.")}},
        {"anything else", {1, "", "\nmacsim: an attached disk image is ejected with hdiutil detach\n"},
         std::pair {-36L, std::string("The volume \u201CPRIVATE\u201D couldn\u2019t be ejected: macsim: an attached "
                                      "disk image is ejected with hdiutil detach")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OneToolRun diskutil(c.outcome);
        MacsimDesktopWorkspace workspace(icons, root, &diskutil);
        try {
            workspace.unmountAndEjectDevice(mountPoint);
            EXPECT_FALSE(c.failure);
        } catch (const PlatformError& error) {
            ASSERT_TRUE(c.failure);
            EXPECT_TRUE(error.is("NSOSStatusErrorDomain", c.failure->first)) << error.domain() << " " << error.code();
            EXPECT_EQ(error.what(), c.failure->second);
        }
        EXPECT_EQ(diskutil.runs, std::vector<std::string> {"/usr/sbin/diskutil eject " + mountPoint});
    }

    // A workspace without a way to the disks refuses, as one that cannot eject.
    MacsimDesktopWorkspace unequipped(icons, root);
    try {
        unequipped.unmountAndEjectDevice(mountPoint);
        ADD_FAILURE() << "ejected without diskutil";
    } catch (const PlatformError& error) {
        EXPECT_TRUE(error.is("NSCocoaErrorDomain", 3328));
        EXPECT_STREQ(error.what(), "Ejecting a drive is not available on this system.");
    }
}
