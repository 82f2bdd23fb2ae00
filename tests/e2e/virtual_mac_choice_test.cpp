// Which virtual Mac the product runs against: the one FERROLATCH_SYSROOT
// names, however it is spelt, else the user's default one; and without any,
// one line that says how to get one, and nothing written.
#include "tests/e2e/drive_test_support.h"

#include <algorithm>
#include <map>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

// A temporary directory, removed again at the end of the test.
struct TemporaryDirectory {
    std::string path;
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ferrolatch-choice-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary directory");
        path = fs::canonical(pattern).string();
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// The product with exactly these settings of the variables that choose the
// Mac and its user interface; the rest of the environment is inherited.
RunResult product(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& settings)
{
    std::vector<std::string> words;
    for (const char* name : {"FERROLATCH_SYSROOT", "XDG_DATA_HOME", "HOME", "DISPLAY", "WAYLAND_DISPLAY",
                             "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT", "FERROLATCH_UI_TRANSCRIPT"}) {
        words.push_back("-u");
        words.push_back(name);
    }
    for (const auto& [name, value] : settings)
        words.push_back(name + "=" + value);
    words.push_back(ferrolatchExecutable());
    words.insert(words.end(), arguments.begin(), arguments.end());
    return run("/usr/bin/env", words);
}

std::vector<std::string> filesUnder(const std::string& directory)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        found.push_back(entry.path().string());
    return found;
}

std::string noMacLine(const std::string& sysroot)
{
    return "ferrolatch-proof: no virtual Mac at " + sysroot
        + "; create one with `macsim init` (scripts/demo does it for you) or set FERROLATCH_SYSROOT to one\n";
}

}

TEST(VirtualMacChoice, WithoutAVirtualMacServiceCommandsFailWithOneLineAndWriteNothing)
{
    TemporaryDirectory temporary;
    const std::string home = temporary.path + "/home";
    const std::string data = temporary.path + "/data";
    const std::string empty = temporary.path + "/empty";
    fs::create_directories(home);
    fs::create_directories(empty);
    const std::string script = json::array({enrollAnswer, signInAnswer}).dump();

    struct Case {
        const char* name;
        std::map<std::string, std::string> settings;
        std::string sysroot; // the one the line names
    };
    const std::vector<Case> cases = {
        {"named sysroot missing", {{"FERROLATCH_SYSROOT", temporary.path + "/missing"}, {"HOME", home}},
         temporary.path + "/missing"},
        {"named sysroot not initialised", {{"FERROLATCH_SYSROOT", empty + "/"}, {"HOME", home}}, empty},
        {"default under HOME absent", {{"HOME", home}}, home + "/.local/share/ferrolatch/virtual-mac"},
        {"default under XDG_DATA_HOME absent", {{"HOME", home}, {"XDG_DATA_HOME", data}},
         data + "/ferrolatch/virtual-mac"},
    };
    const std::string manifest = home + "/m.json";
    const std::vector<std::vector<std::string>> commands = {
        {"native-enroll", home + "/image.sparsebundle", manifest},
        {"mount-drive", manifest},
        {"init-drive", "disk4", "ERASE-disk4-0000000000000000", "PRIVATE", manifest},
    };
    for (const Case& c : cases) {
        for (bool scripted : {false, true}) {
            for (const auto& command : commands) {
                SCOPED_TRACE(std::string(c.name) + (scripted ? ", scripted UI: " : ": ") + command[0]);
                auto settings = c.settings;
                if (scripted)
                    settings["FERROLATCH_UI_SCRIPT"] = script;
                RunResult result = product(command, settings);
                EXPECT_EQ(result.status, 1);
                EXPECT_EQ(result.out, "");
                EXPECT_EQ(result.err, noMacLine(c.sysroot));
            }
        }
        EXPECT_TRUE(filesUnder(home).empty()) << "written under HOME: " << filesUnder(home).front();
        EXPECT_TRUE(filesUnder(empty).empty());
        EXPECT_FALSE(fs::exists(data));
        EXPECT_FALSE(fs::exists(temporary.path + "/missing"));
    }

    // The usage error and the commands that reach no service are unchanged.
    RunResult usage = product({"mount-drive"}, {{"HOME", home}});
    EXPECT_EQ(usage.status, 64);
    EXPECT_EQ(usage.err.rfind("usage:\n", 0), 0u);
    // So are the browser ceremony's commands.
    RunResult browser = product({"copy-recovery", "/tmp/volume.json"}, {{"HOME", home}});
    EXPECT_EQ(browser.status, 1);
    EXPECT_EQ(browser.err.rfind("ferrolatch-proof: no virtual Mac at ", 0), 0u) << browser.err;
    // The About window and the login item are the Mac's too.
    for (const char* word : {"about", "agent-status", "agent-enable"}) {
        RunResult result = product({word}, {{"HOME", home}, {"FERROLATCH_UI_SCRIPT", "[]"}});
        EXPECT_EQ(result.status, 1) << word;
        EXPECT_EQ(result.err.rfind("ferrolatch-proof: no virtual Mac at ", 0), 0u) << result.err;
    }
    EXPECT_TRUE(filesUnder(home).empty());
}

TEST(VirtualMacChoice, MacsimInitAndTheProductShareTheDefaultSysroot)
{
    TemporaryDirectory temporary;
    const std::string home = temporary.path + "/home";
    fs::create_directories(home);
    const std::string sysroot = home + "/.local/share/ferrolatch/virtual-mac";
    RunResult init = run("/usr/bin/env", {"-u", "FERROLATCH_SYSROOT", "-u", "XDG_DATA_HOME", "HOME=" + home,
                                          macsimExecutable(), "init"});
    ASSERT_EQ(init.status, 0) << init.err;
    ASSERT_TRUE(fs::exists(sysroot + "/private/var/db/macsim/state.json"));
    RunResult added = run("/usr/bin/env", {"-u", "FERROLATCH_SYSROOT", "-u", "XDG_DATA_HOME", "HOME=" + home,
                                           macsimExecutable(), "disk", "add", "--media", "SanDisk Ultra", "--size",
                                           "128m", "--bus", "USB"});
    ASSERT_EQ(added.status, 0) << added.err;

    RunResult inspected = product({"inspect-drive", "disk4"}, {{"HOME", home}});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_EQ(json::parse(inspected.out)["mediaName"], "SanDisk Ultra") << inspected.out;
}

// A sysroot spelt with a trailing slash, relatively or with dot components is
// the same Mac: the same inspection, the same refusals, the same journey.
TEST(VirtualMacChoice, TheSysrootsSpellingChangesNoDecision)
{
    DriveBench m;
    m.addDisk();
    m.formatWithData("disk4");
    const std::string sysroot = m.mac.sysroot();
    const std::string parent = fs::path(sysroot).parent_path().string();
    const std::string name = fs::path(sysroot).filename().string();
    const std::string previous = fs::current_path().string();
    fs::current_path(parent); // the relative spellings are taken from here

    auto spelt = [&](const std::string& spelling, const std::vector<std::string>& arguments,
                     const json& script = json::array()) {
        fs::remove(m.transcript);
        return m.mac.ferrolatch(arguments, {{"FERROLATCH_SYSROOT", spelling},
                                            {"FERROLATCH_UI_SCRIPT", script.dump()},
                                            {"FERROLATCH_UI_TRANSCRIPT", m.transcript}});
    };
    const std::vector<std::string> spellings = {sysroot + "/", sysroot + "//", name, "./" + name + "/",
                                                name + "/../" + name, sysroot + "/./"};

    RunResult inspected = spelt(sysroot, {"inspect-drive", "disk4"});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    const std::string token = json::parse(inspected.out)["confirmationToken"];
    const std::string onDrive = sysroot + "/Volumes/OLDDATA/m.json";
    const std::string onVolumes = sysroot + "/Volumes/m.json";
    for (const std::string& spelling : spellings) {
        SCOPED_TRACE(spelling);
        RunResult again = spelt(spelling, {"inspect-drive", "disk4"});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, inspected.out);
        for (const std::string& manifest : {onDrive, onVolumes}) {
            RunResult refused =
                spelt(spelling, {"init-drive", "disk4", token, "PRIVATE", manifest}, initScript());
            EXPECT_EQ(refused.status, 1);
            EXPECT_EQ(refused.err,
                      "ferrolatch-proof: manifest output must be on the Mac, not on removable media\n");
            EXPECT_FALSE(fs::exists(manifest));
        }
    }
    EXPECT_EQ(m.passkeyCount(), 0u);

    // Set up, mount and lock, each under another spelling.
    const std::string manifest = m.work + "/private.json";
    RunResult setUp = spelt(sysroot + "/", {"init-drive", "disk4", token, "PRIVATE", manifest}, initScript());
    ASSERT_EQ(setUp.status, 0) << setUp.err;
    RunResult mounted = spelt(name + "/../" + name + "/", {"mount-drive", manifest}, json::array({signInAnswer}));
    EXPECT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out, "DRIVE MOUNTED\nMount point: " + sysroot + "/Volumes/PRIVATE\n");
    RunResult locked = spelt(name, {"lock-drive", manifest});
    EXPECT_EQ(locked.status, 0) << locked.err;
    EXPECT_EQ(locked.out, "DRIVE LOCKED\n");
    fs::current_path(previous);
}
