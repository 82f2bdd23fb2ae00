#include "common/constants.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/apfs_inventory.h"
#include "disk/system_tools.h"
#include "common/hex.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_keychain.h"
#include "platform/unavailable_services.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/macsim/macsim_windows.h"
#include "platform/macsim/passkey_store.h"
#include "platform/posix/posix_tool_runner.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/e2e/live_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::vector<json> jsonLines(const std::string& text)
{
    std::vector<json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (!line.empty())
            lines.push_back(json::parse(line));
    return lines;
}

std::string textOf(const SecretBytes& bytes) { return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }

std::string loginName()
{
    const passwd* user = getpwuid(getuid());
    const char* login = user ? user->pw_name : std::getenv("USER");
    return login ? login : "";
}

void writeFile(const std::string& path, std::string_view bytes, fs::perms perms = fs::perms(0644))
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::permissions(path, perms);
}

const std::string approvePasskey = R"({"expect": "Sign in to ", "button": "Continue"})";

// A set-up drive made by hand: a USB disk with the bootstrap volume and an
// encrypted PRIVATE volume, a platform passkey the virtual Mac holds, and a
// manifest whose wrap only that passkey opens. The test knows the password
// because it made it, not from anything the program printed.
struct RecoveryDrive : ::testing::Test {
    VirtualMac mac;
    PosixToolRunner tools {mac.sysroot(), {tools::diskutil}};
    SecretBytes password = generateVolumePassword();
    std::string manifestPath;
    std::string transcript = mac.sysroot() + "/ui-transcript.jsonl";
    APFSVolume volume;

    RecoveryDrive()
    {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT",
                                 "FERROLATCH_UI_TRANSCRIPT"})
            unsetenv(name);

        mac.macsimOrThrow({"disk", "add", "--media", "Recovery fixture", "--size", "128m", "--bus", "USB"});
        runTool(tools, tools::diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"});
        std::string container;
        for (const APFSVolume& row : listAPFSVolumes(tools))
            if (row.name == "FERROLATCH")
                container = row.device.substr(0, row.device.rfind('s'));
        runTool(tools, tools::diskutil, {"apfs", "addVolume", container, "APFS", "PRIVATE", "-stdinpassphrase"},
                password.withLineFeed());
        volume = volumeNamed("PRIVATE");

        StoredPasskey passkey;
        SecretBytes credential = randomBytes(16);
        passkey.credentialID.assign(credential.bytes().begin(), credential.bytes().end());
        passkey.relyingParty = std::string(relyingPartyDomain);
        passkey.userHandle = std::vector<std::uint8_t>(32, 7);
        passkey.userName = "Ferrolatch";
        passkey.secret = randomBytes(32);
        SecretBytes salt = randomBytes(prfSaltSize);
        SecretBytes key = deriveWrappingKey(passkeyPrf(passkey.secret, salt.bytes()), salt.bytes());
        std::vector<StoredPasskey> passkeys;
        passkeys.push_back(std::move(passkey));
        SecretBytes store = encodePasskeyStore(passkeys);
        writeFile(mac.sysroot() + "/Users/" + loginName() + "/Library/Keychains/ferrolatch-platform-passkeys.db",
                  std::string_view(reinterpret_cast<const char*>(store.data()), store.size()), fs::perms(0600));

        Manifest manifest;
        manifest.version = protocolVersion;
        manifest.relyingPartyID = std::string(relyingPartyDomain);
        manifest.credentialID = base64URLEncode(passkeys[0].credentialID);
        manifest.prfSalt = base64URLEncode(salt.bytes());
        manifest.wrappedPassword = base64URLEncode(
            sealPassword(password.bytes(), key, wrapAssociatedData(relyingPartyDomain, manifest.credentialID)));
        manifest.createdAt = "2026-01-31T09:15:00Z";
        manifest.resourceKind = "native-apfs-volume";
        manifest.volumeUUID = volume.uuid;
        manifest.volumeName = "PRIVATE";
        manifestPath = mac.sysroot() + "/Volumes/FERROLATCH/ferrolatch.json";
        writeFile(manifestPath, encodeManifest(manifest));
    }

    APFSVolume volumeNamed(const std::string& name)
    {
        for (const APFSVolume& row : listAPFSVolumes(tools))
            if (row.name == name)
                return row;
        throw std::runtime_error("no volume " + name);
    }

    void lockVolume() { runTool(tools, tools::diskutil, {"apfs", "lockVolume", volume.device}); }

    RunResult recovery(const std::string& command, const std::string& script, const std::string* input = nullptr,
                       const std::string& manifest = "")
    {
        fs::remove(transcript);
        return mac.ferrolatch({command, manifest.empty() ? manifestPath : manifest},
                              {{"FERROLATCH_UI_SCRIPT", script}, {"FERROLATCH_UI_TRANSCRIPT", transcript}}, input);
    }

    std::vector<json> alerts()
    {
        std::vector<json> shown;
        for (json& line : jsonLines(readTextFile(transcript)))
            if (line["kind"] == "alert")
                shown.push_back(line);
        return shown;
    }

    std::vector<std::string> transcriptKinds()
    {
        std::vector<std::string> kinds;
        for (json& line : jsonLines(readTextFile(transcript)))
            kinds.push_back(line["kind"] == "alert" ? "alert " + line["message"].get<std::string>()
                                                    : line["kind"].get<std::string>());
        return kinds;
    }

    bool pasteboardEmpty() { return !fs::exists(MacsimPasteboard::pasteboardFile(mac.sysroot())); }

    // The password appears in no file of the sysroot, no argument vector and
    // nothing the program printed.
    void expectPasswordNowhere(const RunResult& result)
    {
        const std::string secret = textOf(password);
        EXPECT_EQ(result.out.find(secret), std::string::npos);
        EXPECT_EQ(result.err.find(secret), std::string::npos);
        EXPECT_EQ(mac.macsimOrThrow({"audit"}).find(secret), std::string::npos);
        for (const auto& entry : fs::recursive_directory_iterator(mac.sysroot())) {
            if (!entry.is_regular_file() || entry.is_symlink())
                continue;
            EXPECT_EQ(readTextFile(entry.path().string()).find(secret), std::string::npos) << entry.path();
        }
    }
};

std::string script(std::initializer_list<std::string> answers)
{
    std::string joined = "[";
    for (const std::string& answer : answers)
        joined += (joined.size() > 1 ? "," : "") + answer;
    return joined + "]";
}

const std::string sawKey = R"({"expect": "Offline Ferrolatch recovery key", "button": "I Saved This Key"})";
// The key's paragraph of the card, its last eight characters without the spaces.
const std::string typeCode =
    R"({"expect": "Confirm your offline copy", "button": "Confirm",
        "fields": [{"fromPreviousLabel": {"paragraph": 1, "withoutSpaces": true, "last": 8}}]})";

}

TEST_F(RecoveryDrive, OfflineCardIsShownCaptureExcludedAndConfirmedWithTheLastEightCharacters)
{
    RunResult result = recovery("native-offline-recovery", script({approvePasskey, sawKey, typeCode}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "OFFLINE RECOVERY CARD CONFIRMED\n");
    EXPECT_EQ(result.err, "");

    std::vector<json> shown = alerts();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_TRUE(shown[0]["message"].get<std::string>().starts_with("Sign in to"));
    const json& card = shown[1];
    EXPECT_EQ(card["style"], "critical");
    EXPECT_EQ(card["excludedFromCapture"], true);
    EXPECT_EQ(card["accessory"]["kind"], "wrappingLabel");
    // Volume, UUID, 43 characters in eleven groups, and the Disk Utility hint.
    std::size_t cardBytes = std::string("Volume: PRIVATE\nUUID: ").size() + 36 + 2 + 43 + 10 + 2
        + std::string("Manual recovery: open Disk Utility, select PRIVATE, choose Mount or Unlock, and enter the key "
                      "without spaces.")
              .size();
    EXPECT_EQ(card["accessory"]["textBytes"], cardBytes);
    EXPECT_EQ(shown[2]["excludedFromCapture"], true);
    EXPECT_EQ(shown[2]["accessory"]["kind"], "secureTextField");
    expectPasswordNowhere(result);
    EXPECT_FALSE(volumeNamed("PRIVATE").locked) << "the command does not touch the volume";
}

TEST_F(RecoveryDrive, AWrongCodeBeepsAndShowsTheCardAgainThenTheRightOneConfirms)
{
    lockVolume(); // a locked volume is as good: only the password is needed
    // The last eight characters as the card shows them, with the group space: not the code.
    const std::string typeSpaced =
        R"({"expect": "Confirm your offline copy", "button": "Confirm",
            "fields": [{"fromPreviousLabel": {"paragraph": 1, "last": 10}}]})";
    RunResult result = recovery("native-offline-recovery", script({approvePasskey, sawKey, typeSpaced, sawKey, typeCode}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "OFFLINE RECOVERY CARD CONFIRMED\n");

    std::vector<std::string> kinds = transcriptKinds();
    auto firstConfirm = std::find(kinds.begin(), kinds.end(), "alert Confirm your offline copy");
    ASSERT_NE(firstConfirm, kinds.end());
    auto after = std::find_if(firstConfirm + 1, kinds.end(), [](const std::string& k) { return k != "activate"; });
    ASSERT_NE(after, kinds.end());
    EXPECT_EQ(*after, "beep");
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "alert Offline Ferrolatch recovery key"), 2);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "beep"), 1);
    EXPECT_TRUE(volumeNamed("PRIVATE").locked);
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, LaterDefersAndSucceeds)
{
    RunResult result = recovery("native-offline-recovery",
                                script({approvePasskey, R"({"expect": "Offline Ferrolatch", "button": "Later"})"}));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "OFFLINE RECOVERY CARD DEFERRED\n");
}

TEST_F(RecoveryDrive, AVolumeThatIsNotAttachedFailsBeforeAnyPasskeyPrompt)
{
    Manifest other = decodeManifest(readTextFile(manifestPath));
    other.volumeUUID = "00000000-0000-4000-8000-000000000000";
    std::string otherPath = mac.sysroot() + "/work/other.json";
    writeFile(otherPath, encodeManifest(other));
    for (const char* command :
         {"native-offline-recovery", "native-passwords-recovery", "native-copy-recovery", "native-share-recovery"}) {
        SCOPED_TRACE(command);
        RunResult result = recovery(command, script({approvePasskey}), nullptr, otherPath);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "ferrolatch-proof: the native Ferrolatch APFS volume is not attached\n");
        EXPECT_TRUE(alerts().empty()) << "no passkey sheet";
    }
}

TEST_F(RecoveryDrive, PasswordsHandoffPlacesEachStepBesidePasswordsAndClearsTheClipboard)
{
    // Passwords's window at the left edge of the screen, below the menu bar.
    writeFile(MacsimDesktopWorkspace::stateFile(mac.sysroot()), R"({"applications": [
        {"name": "Passwords", "bundleIdentifier": "com.apple.Passwords", "processIdentifier": 811,
         "windows": [{"layer": 0, "bounds": {"X": 0, "Y": 25, "Width": 700, "Height": 500}}]}]})");
    std::string steps = script({approvePasskey, R"({"expect": "Step 1 of 5: Title", "button": "Next Field"})",
                                R"({"expect": "Step 2 of 5: User Name", "button": "Next Field"})",
                                R"({"expect": "Step 3 of 5: Password", "button": "Next Field"})",
                                R"({"expect": "Step 4 of 5: Website", "button": "Next Field"})",
                                R"({"expect": "Step 5 of 5: Notes", "button": "Finish and Clear Clipboard"})"});
    RunResult result = recovery("native-passwords-recovery", steps);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "PASSWORDS RECOVERY SAVE COMPLETE — CLIPBOARD CLEARED\n");
    EXPECT_TRUE(pasteboardEmpty());

    std::vector<json> shown = alerts();
    ASSERT_EQ(shown.size(), 6u);
    for (std::size_t i = 1; i < shown.size(); ++i) {
        SCOPED_TRACE(shown[i]["message"].get<std::string>());
        EXPECT_EQ(shown[i]["style"], i == 3 ? "warning" : "informational");
        EXPECT_EQ(shown[i]["topLeft"], (json {{"x", 724}, {"y", 851}})) << "24 points right of Passwords";
    }
    bool openedPasswords = false;
    for (const json& call : jsonLines(mac.macsimOrThrow({"audit"})))
        openedPasswords = openedPasswords || call.dump().find(R"("-a","Passwords")") != std::string::npos;
    EXPECT_TRUE(openedPasswords);
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, PasswordsHandoffWithTheDefaultWindowAndACancelInTheMiddle)
{
    lockVolume();
    std::string steps = script({approvePasskey, R"({"expect": "Step 1 of 5", "button": "Next Field"})",
                                R"({"expect": "Step 2 of 5", "button": "Next Field"})",
                                R"({"expect": "Step 3 of 5", "button": "Cancel and Clear Clipboard"})"});
    RunResult result = recovery("native-passwords-recovery", steps);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "PASSWORDS RECOVERY SAVE CANCELLED — CLIPBOARD CLEARED\n");
    EXPECT_TRUE(pasteboardEmpty());
    // The default Passwords window is 800 wide in the middle of 1440: no room
    // beside it, nor above or below for this alert, so the top left it is.
    std::vector<json> shown = alerts();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[1]["topLeft"], (json {{"x", 24}, {"y", 851}}));
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, TerminalHandoffStepsThroughTheFieldsOnReturn)
{
    lockVolume();
    std::string returns = "\n\n\n\n\n";
    RunResult result = recovery("native-copy-recovery", script({approvePasskey}), &returns);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "MANUAL RECOVERY SAVE READY\n"
              "STEP 1/5 — Title COPIED\n"
              "In Passwords, click the + button to start a new entry, then paste into Title.\n"
              "Press Return here after pasting it to copy the next field.\n"
              "STEP 2/5 — User Name COPIED\n"
              "Paste into User Name.\n"
              "Press Return here after pasting it to copy the next field.\n"
              "STEP 3/5 — Password COPIED\n"
              "Paste into Password. The password is never printed.\n"
              "Press Return here after pasting it to copy the next field.\n"
              "STEP 4/5 — Website COPIED\n"
              "Paste into Website.\n"
              "Press Return here after pasting it to copy the next field.\n"
              "STEP 5/5 — Notes COPIED\n"
              "Paste into Notes and save the entry.\n"
              "Press Return here after saving the entry to clear the clipboard.\n"
              "CLIPBOARD CLEARED\n");
    EXPECT_TRUE(pasteboardEmpty());
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, TerminalHandoffEndsWithAnEmptyClipboardWhenInputCloses)
{
    lockVolume();
    std::string twoReturns = "\n\n"; // input ends while the Password is on the clipboard
    RunResult result = recovery("native-copy-recovery", script({approvePasskey}), &twoReturns);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ferrolatch-proof: manual recovery save was cancelled\n");
    EXPECT_TRUE(result.out.ends_with("Press Return here after pasting it to copy the next field.\n"));
    EXPECT_NE(result.out.find("STEP 3/5 — Password COPIED"), std::string::npos);
    EXPECT_TRUE(pasteboardEmpty());
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, TerminalHandoffDemandsALockedVolumeWhileTheWindowHandoffDoesNot)
{
    RunResult refused = recovery("native-copy-recovery", script({approvePasskey}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "ferrolatch-proof: the native Ferrolatch APFS volume must be encrypted and locked\n");
    EXPECT_TRUE(alerts().empty()) << "no passkey sheet";

    RunResult accepted = recovery("native-passwords-recovery",
                                  script({approvePasskey, R"({"expect": "Step 1 of 5", "dismiss": true})"}));
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "PASSWORDS RECOVERY SAVE CANCELLED — CLIPBOARD CLEARED\n");
}

namespace {

const std::string passwordStep = "STEP 3/5 — Password COPIED\n";
const std::string nextFieldPrompt = "Press Return here after pasting it to copy the next field.\n";

}

// A signal while the password is on the clipboard: the clipboard is cleared
// before the process ends, and the process ends as that signal ends it.
TEST_F(RecoveryDrive, ASignalAtThePasswordStepLeavesTheClipboardEmpty)
{
    lockVolume();
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        auto environment = mac.environment();
        environment["FERROLATCH_UI_SCRIPT"] = script({approvePasskey});
        LiveProcess product(ferrolatchExecutable(), {"native-copy-recovery", manifestPath}, environment);
        product.write("\n\n");
        ASSERT_TRUE(product.readUntil(nextFieldPrompt, 3)) << product.output();
        ASSERT_NE(product.output().find(passwordStep), std::string::npos);
        std::optional<SecretBytes> copied = MacsimPasteboard(mac.sysroot()).readString();
        ASSERT_TRUE(copied && copied->equals(password.bytes())) << "the password is on the clipboard";

        ::kill(product.pid(), number);
        std::string error;
        EXPECT_EQ(product.wait(error), 128 + number);
        EXPECT_EQ(error, "");
        EXPECT_TRUE(pasteboardEmpty());
    }
}

// Output that nobody reads any more (`| head -n 7` has its seven lines) is an
// ordinary failure: the step that cannot be shown clears the clipboard.
TEST_F(RecoveryDrive, AClosedOutputPipeAtThePasswordStepIsAnOrdinaryFailureWithAnEmptyClipboard)
{
    lockVolume();
    auto environment = mac.environment();
    environment["FERROLATCH_UI_SCRIPT"] = script({approvePasskey});
    LiveProcess product(ferrolatchExecutable(), {"native-copy-recovery", manifestPath}, environment);
    product.write("\n");
    ASSERT_TRUE(product.readUntil(nextFieldPrompt, 2)) << product.output();
    EXPECT_EQ(std::count(product.output().begin(), product.output().end(), '\n'), 7);
    product.closeOutput();
    product.write("\n"); // on to the Password step, whose lines have nowhere to go

    std::string error;
    EXPECT_EQ(product.wait(error), 1);
    EXPECT_EQ(error, "ferrolatch-proof: could not write to standard output\n");
    EXPECT_TRUE(pasteboardEmpty());
    expectPasswordNowhere({1, "", error});
}

namespace {

const std::string saveConsent = R"({"expect": "Save a password for ", "button": "Save Password"})";
const std::string declineConsent = R"({"expect": "Save a password for ", "button": "Not Now"})";

bool openedPasswords(const VirtualMac& mac)
{
    for (const json& call : jsonLines(mac.macsimOrThrow({"audit"})))
        if (call.dump().find(R"("-a","Passwords")") != std::string::npos)
            return true;
    return false;
}

}

TEST_F(RecoveryDrive, SharedCredentialIsSavedOnceForTheDomainAndAccountAndUpdatedOnTheNextRun)
{
    lockVolume();
    const std::string account = "Ferrolatch PRIVATE " + volume.uuid;
    const std::string domain(recoveryCredentialDomain);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        RunResult result = recovery("native-share-recovery", script({approvePasskey, saveConsent}));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "NATIVE PASSWORDS SHARED-CREDENTIAL PROOF PASSED\n"
                              "The signed app saved or updated the visible recovery credential through macOS.\n"
                              "Website: " + domain + "\nAccount: " + account + "\n");
        EXPECT_EQ(result.err, "");
        std::vector<json> shown = alerts();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_TRUE(shown[0]["message"].get<std::string>().starts_with("Sign in to"));
        EXPECT_EQ(shown[1]["message"], "Save a password for " + domain + "?");
        EXPECT_NE(shown[1]["informative"].get<std::string>().find(account), std::string::npos);
        EXPECT_EQ(shown[1]["buttons"], json::parse(R"([{"destructive": false, "title": "Save Password"},
                                                       {"destructive": false, "title": "Not Now"}])"));
        expectPasswordNowhere(result);
    }

    json items = json::parse(mac.macsimOrThrow({"keychain", "list"}));
    ASSERT_EQ(items.size(), 1u) << items.dump();
    EXPECT_EQ(items[0]["server"], domain);
    EXPECT_EQ(items[0]["account"], account);
    EXPECT_EQ(items[0]["class"], "inet");
    EXPECT_EQ(items[0]["protocol"], "htps");
    EXPECT_EQ(items[0]["synchronizable"], true);
    for (const auto& [name, value] : items[0].items())
        EXPECT_EQ(name.find("alue"), std::string::npos) << name; // never a value, sealed or not
    EXPECT_TRUE(openedPasswords(mac));

    // Sealed, not merely encoded: neither the text nor its hex is in the file,
    // and the Mac's own keychain gives the exact password back.
    KeychainStoreLocation location = keychainStoreLocation(mac.sysroot(), loginName());
    std::string file = readTextFile(location.filePath());
    EXPECT_EQ(file.find(hexString(password.bytes())), std::string::npos);
    ManualClock clock;
    HeadlessMainLoop loop(clock);
    MacsimKeychain keychain(loop, unavailable::ui(), location, "");
    KeychainQuery query;
    query.attributes.itemClass = std::string(kSecClassInternetPassword);
    query.attributes.server = domain;
    query.attributes.account = account;
    query.attributes.synchronizable = true;
    query.returnData = true;
    std::optional<SecretBytes> stored;
    ASSERT_EQ(keychain.copyMatching(query, stored), errSecSuccess);
    EXPECT_EQ(textOf(*stored), textOf(password));
}

TEST_F(RecoveryDrive, NotNowFailsWithTheRejectionAndSavesNothing)
{
    lockVolume();
    RunResult result = recovery("native-share-recovery", script({approvePasskey, declineConsent}));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ferrolatch-proof: Passwords rejected the shared recovery credential: The operation "
                          "couldn’t be completed. (OSStatus error -128.)\n");
    EXPECT_EQ(json::parse(mac.macsimOrThrow({"keychain", "list"})), json::array());
    EXPECT_FALSE(openedPasswords(mac));
    expectPasswordNowhere(result);
}

TEST_F(RecoveryDrive, SharedCredentialDemandsALockedVolumeBeforeAnyPrompt)
{
    RunResult result = recovery("native-share-recovery", script({approvePasskey, saveConsent}));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ferrolatch-proof: the native Ferrolatch APFS volume must be encrypted and locked\n");
    EXPECT_TRUE(alerts().empty()) << "no passkey sheet, no consent";
    EXPECT_EQ(json::parse(mac.macsimOrThrow({"keychain", "list"})), json::array());
}

TEST_F(RecoveryDrive, SharedCredentialSucceedsWhenPasswordsCannotBeOpenedAndFailsOnAKeychainFault)
{
    lockVolume();
    mac.macsimOrThrow({"fault", "add", "--tool", "open", "--args-prefix", "-a Passwords", "--exit", "1"});
    RunResult opened = recovery("native-share-recovery", script({approvePasskey, saveConsent}));
    EXPECT_EQ(opened.status, 0) << opened.err;
    EXPECT_TRUE(opened.out.starts_with("NATIVE PASSWORDS SHARED-CREDENTIAL PROOF PASSED\n"));

    mac.macsimOrThrow({"keychain", "fault", "update", "-25308"}); // the second save updates
    RunResult faulted = recovery("native-share-recovery", script({approvePasskey, saveConsent}));
    EXPECT_EQ(faulted.status, 1);
    EXPECT_EQ(faulted.err, "ferrolatch-proof: Passwords rejected the shared recovery credential: The operation "
                           "couldn’t be completed. (OSStatus error -25308.)\n");
}
