#include "tests/e2e/drive_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;
using nlohmann::json;

namespace {

const std::string approve = R"([{"expect": "Create a passkey for ferrolatch.example", "button": "Continue"}])";
const std::string approveSignIn = R"([{"expect": "Sign in to ferrolatch.example", "button": "Continue"}])";
const std::string cancelled =
    "ferrolatch-proof: The operation couldn’t be completed. (com.apple.AuthenticationServices.AuthorizationError "
    "error 1001.)\n";

struct NativeProofs : ::testing::Test, DriveBench {
    RunResult proof(const std::vector<std::string>& arguments, const std::string& script)
    {
        return ferrolatch(arguments, json::parse(script));
    }

    std::vector<json> shown(const std::string& kind)
    {
        std::vector<json> matching;
        for (json& line : DriveBench::shown())
            if (line["kind"] == kind)
                matching.push_back(line);
        return matching;
    }

    json manifest(const std::string& path) { return json::parse(readTextFile(path)); }

    void enrollImage(const std::string& image, const std::string& manifestPath)
    {
        RunResult result = proof({"native-enroll", image, manifestPath}, approve);
        ASSERT_EQ(result.status, 0) << result.err;
    }
};

}

TEST_F(NativeProofs, EnrollThenUnlockAProofImageWithThePasswordOnlyOnStdin)
{
    std::string image = work + "/proofs/native.dmg";
    std::string manifestPath = work + "/native.json";

    RunResult enrolled = proof({"native-enroll", image, manifestPath}, approve);
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    EXPECT_EQ(enrolled.err, "");
    EXPECT_EQ(enrolled.out, "NATIVE ENROLL PROOF PASSED\nCreated encrypted APFS image: " + image
                                + "\nCreated non-secret native wrap manifest: " + manifestPath + "\n");
    auto sheets = shown("alert");
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0]["buttons"], json::parse(R"([{"title":"Continue","destructive":false},{"title":"Cancel","destructive":false}])"));
    auto windows = shown("window");
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0]["title"], "Ferrolatch");
    EXPECT_EQ(windows[1]["visible"], false);

    json written = manifest(manifestPath);
    EXPECT_EQ(written["version"], 1);
    EXPECT_EQ(written["relyingPartyID"], "ferrolatch.example");
    EXPECT_EQ(written["resourceKind"], "native-disk-image");
    EXPECT_EQ(written["prfSalt"].get<std::string>().size(), 43u);
    EXPECT_EQ(written["credentialID"].get<std::string>().size(), 27u); // 20 bytes
    EXPECT_FALSE(written.contains("volumeName"));
    EXPECT_FALSE(written.contains("imageName"));

    RunResult unlocked = proof({"native-unlock", image, manifestPath}, approveSignIn);
    ASSERT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(unlocked.out, "NATIVE UNLOCK PROOF PASSED\n"
                            "AuthenticationServices PRF mounted, verified, and detached the encrypted APFS image.\n");
    EXPECT_EQ(shown("alert").size(), 1u);

    // Every tool call, with its exact words: the password went only to stdin.
    auto calls = audit();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0]["argv"], json({"create", "-size", "16m", "-fs", "APFS", "-volname", "FERROLATCH-PROOF",
                                      "-encryption", "AES-256", "-stdinpass", image}));
    EXPECT_EQ(calls[1]["argv"], json({"attach", "-plist", "-nobrowse", "-stdinpass", image}));
    EXPECT_EQ(calls[3]["argv"], json({"attach", "-plist", "-nobrowse", "-stdinpass", image}));
    for (int index : {0, 1, 3})
        EXPECT_EQ(calls[index]["stdin"], true);
    for (int index : {2, 4}) {
        EXPECT_EQ(calls[index]["argv"][0], "detach");
        EXPECT_EQ(calls[index]["stdin"], false);
    }
    for (const json& call : calls)
        EXPECT_EQ(call["status"], 0);

    // Nothing stays attached; the passkey is kept privately.
    EXPECT_TRUE(state()["images"].empty());
    std::string keychains;
    for (const auto& entry : std::filesystem::directory_iterator(mac.sysroot() + "/Users"))
        keychains = entry.path().string() + "/Library/Keychains";
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator(keychains)) {
        struct stat status {};
        ASSERT_EQ(stat(entry.path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << entry.path();
        found = true;
    }
    EXPECT_TRUE(found);
}

TEST_F(NativeProofs, SparsebundleEnrolledWithAnImagesPasskeyUnlocksAndMounts)
{
    std::string credentialManifest = work + "/credential.json";
    enrollImage(work + "/credential.dmg", credentialManifest);

    std::string bundle = work + "/bundles/Vault.sparsebundle";
    std::string manifestPath = work + "/vault.json";
    RunResult enrolled =
        proof({"native-enroll-bundle", credentialManifest, bundle, manifestPath, "64m", "Vault"}, approveSignIn);
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    EXPECT_EQ(enrolled.out, "NATIVE SPARSEBUNDLE ENROLL PROOF PASSED\nCreated encrypted APFS sparsebundle: " + bundle
                                + "\nCreated non-secret native wrap manifest: " + manifestPath + "\n");
    json written = manifest(manifestPath);
    EXPECT_EQ(written["resourceKind"], "native-sparsebundle");
    EXPECT_EQ(written["credentialID"], manifest(credentialManifest)["credentialID"]);
    EXPECT_NE(written["prfSalt"], manifest(credentialManifest)["prfSalt"]);
    EXPECT_EQ(written["imageName"], "Vault.sparsebundle");
    EXPECT_EQ(written["volumeName"], "Vault");

    RunResult unlocked = proof({"native-unlock-bundle", bundle, manifestPath}, approveSignIn);
    ASSERT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(unlocked.out, "NATIVE SPARSEBUNDLE UNLOCK PROOF PASSED\n");
    EXPECT_TRUE(state()["images"].empty());

    RunResult mounted = proof({"native-mount-bundle", bundle, manifestPath}, approveSignIn);
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    const std::string prefix = "NATIVE SPARSEBUNDLE MOUNTED\nMount point: ";
    ASSERT_EQ(mounted.out.substr(0, prefix.size()), prefix);
    std::string mountPoint = mounted.out.substr(prefix.size(), mounted.out.size() - prefix.size() - 1);
    EXPECT_EQ(readTextFile(mountPoint + "/.ferrolatch-proof"), "Ferrolatch passkey unwrap proof\n");

    // The mount was left in place: the last tool call is the attach.
    auto calls = audit();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back()["argv"][0], "attach");
    EXPECT_EQ(state()["images"].size(), 1u);
}

TEST_F(NativeProofs, CancelledSheetFailsWithThePlatformsErrorAndLeavesNoOutputs)
{
    std::string image = work + "/cancel.dmg";
    std::string manifestPath = work + "/cancel.json";
    RunResult result = proof({"native-enroll", image, manifestPath},
                             R"([{"expect": "Create a passkey", "button": "Cancel"}])");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, cancelled);
    EXPECT_FALSE(std::filesystem::exists(image));
    EXPECT_FALSE(std::filesystem::exists(manifestPath));
    EXPECT_TRUE(audit().empty());
}

TEST_F(NativeProofs, RefusalsComeBeforeAnySheet)
{
    std::string image = work + "/taken.dmg";
    std::string manifestPath = work + "/taken.json";
    enrollImage(image, manifestPath);
    std::string credentialManifest = manifestPath;
    std::string bundle = work + "/Vault.sparsebundle";
    std::string bundleManifest = work + "/vault.json";
    ASSERT_EQ(proof({"native-enroll-bundle", credentialManifest, bundle, bundleManifest, "64m", "Vault"}, approveSignIn)
                  .status,
              0);

    // A manifest of the browser ceremony, as a credential source.
    json browser = manifest(manifestPath);
    browser["relyingPartyID"] = "localhost";
    browser["resourceKind"] = "disk-image";
    std::string browserManifest = work + "/browser.json";
    std::ofstream(browserManifest) << browser.dump(2);

    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{"native-enroll", image, work + "/fresh.json"}, "refusing to replace existing image at " + image},
        {{"native-enroll", work + "/fresh.dmg", manifestPath}, "refusing to replace existing manifest at " + manifestPath},
        {{"native-enroll-bundle", credentialManifest, work + "/Other.sparsebundle", bundleManifest, "64m", "Other"},
         "refusing to replace existing manifest at " + bundleManifest},
        {{"native-enroll-bundle", browserManifest, work + "/Other.sparsebundle", work + "/other.json", "64m", "Other"},
         "credential manifest is not a native Ferrolatch manifest"},
        {{"native-unlock-bundle", work + "/vault.sparsebundle", bundleManifest},
         "sparsebundle name does not match its manifest"},
        {{"native-mount-bundle", work + "/Safe.sparsebundle", bundleManifest},
         "sparsebundle name does not match its manifest"},
        {{"native-unlock", image, bundleManifest}, "manifest does not identify a native Ferrolatch image proof"},
        {{"native-unlock", image, browserManifest}, "manifest does not identify a native Ferrolatch image proof"},
    };
    std::size_t toolCalls = audit().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.error);
        RunResult result = proof(c.arguments, "[]");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "ferrolatch-proof: " + c.error + "\n");
        EXPECT_TRUE(shown("alert").empty());
        EXPECT_TRUE(shown("window").empty());
    }
    EXPECT_EQ(audit().size(), toolCalls);
    EXPECT_FALSE(std::filesystem::exists(work + "/fresh.dmg"));
    EXPECT_FALSE(std::filesystem::exists(work + "/Other.sparsebundle"));
}

TEST_F(NativeProofs, AnotherPasskeysManifestFailsAuthenticationWithoutAttaching)
{
    enrollImage(work + "/a.dmg", work + "/a.json");
    enrollImage(work + "/b.dmg", work + "/b.json");
    json swapped = manifest(work + "/a.json");
    swapped["credentialID"] = manifest(work + "/b.json")["credentialID"];
    std::ofstream(work + "/swapped.json") << swapped.dump(2);

    std::size_t toolCalls = audit().size();
    RunResult result = proof({"native-unlock", work + "/a.dmg", work + "/swapped.json"}, approveSignIn);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ferrolatch-proof: authentication failure (CryptoKit.CryptoKitError error 2)\n");
    EXPECT_EQ(shown("alert").size(), 1u);
    EXPECT_EQ(audit().size(), toolCalls);
}

TEST_F(NativeProofs, AMarkerWithoutItsFinalLineFeedFailsTheUnlockAndIsLeftDetached)
{
    std::string image = work + "/altered.dmg";
    std::string manifestPath = work + "/altered.json";
    enrollImage(image, manifestPath);

    // The owner of the passkey opens the image by hand and drops the marker's line feed.
    std::string password = learnPassword(manifestPath) + "\n";
    RunResult attached = mac.tool("/usr/bin/hdiutil", {"attach", "-plist", "-nobrowse", "-stdinpass", image}, &password);
    ASSERT_EQ(attached.status, 0) << attached.err;
    std::string device = state()["images"].at(0)["device"];
    std::optional<json> volume = volumeNamed("FERROLATCH-PROOF");
    ASSERT_TRUE(volume);
    std::string marker = (*volume)["mountPoint"].get<std::string>() + "/FERROLATCH-PROOF.txt";
    ASSERT_EQ(readTextFile(marker), "Ferrolatch passkey unwrap proof\n");
    std::ofstream(marker, std::ios::trunc) << "Ferrolatch passkey unwrap proof";
    ASSERT_EQ(mac.tool("/usr/bin/hdiutil", {"detach", device}).status, 0);

    RunResult result = proof({"native-unlock", image, manifestPath}, approveSignIn);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ferrolatch-proof: native proof image did not contain the exact marker\n");
    auto calls = audit();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2]["argv"][0], "attach");
    EXPECT_EQ(calls.back()["argv"][0], "detach");
    EXPECT_EQ(calls.back()["status"], 0);
    EXPECT_TRUE(state()["images"].empty());
}

TEST_F(NativeProofs, UnexpectedSheetEndsTheCommandNamingIt)
{
    RunResult result = proof({"native-enroll", work + "/x.dmg", work + "/x.json"},
                             R"([{"expect": "Sign in", "button": "Continue"}])");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ferrolatch-proof: unexpected alert \"Create a passkey for ferrolatch.example\": the UI "
                          "script expected one beginning \"Sign in\"\n");
    EXPECT_FALSE(std::filesystem::exists(work + "/x.json"));
}

TEST_F(NativeProofs, WithoutDisplayOrScriptAUiCommandFailsAtOnce)
{
    auto start = std::chrono::steady_clock::now();
    RunResult result = mac.ferrolatch({"native-enroll", work + "/proofs/x.dmg", work + "/x.json"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ferrolatch-proof: no display is available for this command's user interface; set "
                          "FERROLATCH_UI_SCRIPT to answer its alerts from a script\n");
    EXPECT_FALSE(std::filesystem::exists(work + "/proofs")) << "the image's folder is made only once the command runs";

    // Commands without a user interface do not care.
    RunResult inspect = mac.ferrolatch({"inspect-drive", "disk0"});
    EXPECT_EQ(inspect.err.find("display"), std::string::npos);
}

TEST_F(NativeProofs, AFailedDetachIsRetriedOnceAndItsErrorReported)
{
    std::string image = work + "/busy.dmg";
    std::string manifestPath = work + "/busy.json";
    const std::string busy = "ferrolatch-proof: hdiutil failed: hdiutil: detach failed - Resource busy\n";

    // Enrollment: the marker is written, the detach fails, a second detach runs, no manifest.
    mac.macsimOrThrow({"fault", "add", "--tool", "hdiutil", "--args-prefix", "detach", "--nth", "1", "--exit", "1",
                       "--stderr", "hdiutil: detach failed - Resource busy"});
    RunResult enrolled = proof({"native-enroll", image, manifestPath}, approve);
    EXPECT_EQ(enrolled.status, 1);
    EXPECT_EQ(enrolled.err, busy);
    EXPECT_FALSE(std::filesystem::exists(manifestPath));
    auto calls = audit();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2]["argv"][0], "detach");
    EXPECT_EQ(calls.back()["argv"], calls[calls.size() - 2]["argv"]);
    EXPECT_TRUE(state()["images"].empty());

    // Unlock: the same for the final detach.
    mac.macsimOrThrow({"fault", "clear"});
    enrollImage(work + "/ok.dmg", work + "/ok.json");
    mac.macsimOrThrow({"fault", "add", "--tool", "hdiutil", "--args-prefix", "detach", "--nth", "1", "--exit", "1",
                       "--stderr", "hdiutil: detach failed - Resource busy"});
    RunResult unlocked = proof({"native-unlock", work + "/ok.dmg", work + "/ok.json"}, approveSignIn);
    EXPECT_EQ(unlocked.status, 1);
    EXPECT_EQ(unlocked.out, "");
    EXPECT_EQ(unlocked.err, busy);
    calls = audit();
    EXPECT_EQ(calls.back()["argv"][0], "detach");
    EXPECT_EQ(calls.back()["status"], 0);
    EXPECT_TRUE(state()["images"].empty());
}

TEST_F(NativeProofs, UnlockOfAMountedBundleDetachesItWithOneLine)
{
    std::string credentialManifest = work + "/credential.json";
    enrollImage(work + "/credential.dmg", credentialManifest);
    std::string bundle = work + "/Vault.sparsebundle";
    std::string manifestPath = work + "/vault.json";
    RunResult enrolled =
        proof({"native-enroll-bundle", credentialManifest, bundle, manifestPath, "64m", "Vault"}, approveSignIn);
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;

    RunResult mounted = proof({"native-mount-bundle", bundle, manifestPath}, approveSignIn);
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    std::string mountPoint = mounted.out.substr(mounted.out.find("Mount point: ") + 13);
    mountPoint.pop_back();
    {
        std::ofstream(mountPoint + "/notes.txt") << "kept";
    }
    ASSERT_EQ(state()["images"].size(), 1u);

    RunResult unlocked = proof({"native-unlock-bundle", bundle, manifestPath}, approveSignIn);
    ASSERT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(unlocked.out, "NATIVE SPARSEBUNDLE UNLOCK PROOF PASSED\n");
    EXPECT_EQ(unlocked.err, "");
    EXPECT_TRUE(state()["images"].empty());
    EXPECT_FALSE(std::filesystem::exists(mountPoint));

    // What was written while it was mounted was kept by the detach.
    RunResult again = proof({"native-mount-bundle", bundle, manifestPath}, approveSignIn);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(readTextFile(mountPoint + "/notes.txt"), "kept");
}
