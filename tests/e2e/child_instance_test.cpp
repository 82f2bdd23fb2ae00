// Child instances: the program started anew from its bundle with
// `open -n -W BUNDLE --args COMMAND ...`, as the agent starts them, answering
// its passkey sheet from the one script that all processes of the Mac share.
#include "tests/e2e/drive_test_support.h"

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

std::string bundleOf(const std::string& executable)
{
    return fs::path(executable).parent_path().parent_path().parent_path().string();
}

}

TEST_F(DriveMac, ChildInstancesTakeTheirAnswersFromOneSharedScriptInOrder)
{
    addDisk();
    std::string manifestPath = work + "/manifests/private.json";
    RunResult initialised = initDrive("disk4", manifestPath);
    ASSERT_EQ(initialised.status, 0) << initialised.err;
    ASSERT_TRUE((*volumeNamed("PRIVATE"))["locked"]);

    std::string sheet = "Sign in to " + std::string(relyingPartyDomain);
    json script = {{"acrossProcesses", true},
                   {"answers", json::array({json {{"expect", sheet}, {"button", "Cancel"}}, signInAnswer})}};
    auto environment = mac.environment();
    environment["FERROLATCH_UI_SCRIPT"] = script.dump();
    environment["FERROLATCH_UI_TRANSCRIPT"] = transcript;
    fs::remove(transcript);
    std::vector<std::string> launch = {"-n", "-W", bundleOf(ferrolatchExecutable()), "--args", "mount-drive",
                                       manifestPath};

    // The first child takes the first answer: it cancels, and open reports its failure.
    RunResult cancelled = run(mac.sysroot() + "/usr/bin/open", launch, environment);
    EXPECT_NE(cancelled.status, 0);
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);

    // The next child takes the second: it approves and the volume mounts.
    RunResult mounted = run(mac.sysroot() + "/usr/bin/open", launch, environment);
    EXPECT_EQ(mounted.status, 0) << readTextFile(mac.sysroot() + "/private/var/log/macsim/applications.log");
    EXPECT_FALSE((*volumeNamed("PRIVATE"))["locked"]);

    std::vector<std::string> answered;
    for (const json& line : shown())
        if (line["kind"] == "alert")
            answered.push_back(line["message"].get<std::string>() + " -> " + line["answer"]["button"].get<std::string>());
    EXPECT_EQ(answered, (std::vector<std::string> {sheet + " with your passkey -> Cancel",
                                                   sheet + " with your passkey -> Continue"}));

    // A third child finds the script used up rather than starting it over.
    RunResult third = run(mac.sysroot() + "/usr/bin/open", {"-n", "-W", bundleOf(ferrolatchExecutable()), "--args",
                                                            "lock-drive", manifestPath},
                          environment);
    EXPECT_EQ(third.status, 0) << third.err;
    RunResult again = run(mac.sysroot() + "/usr/bin/open", launch, environment);
    EXPECT_NE(again.status, 0);
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
}
