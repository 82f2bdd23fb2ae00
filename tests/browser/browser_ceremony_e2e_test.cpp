// The browser ceremony against a real browser: a headless Chromium with a
// virtual authenticator, started once for the whole suite, opens the proof
// page through the virtual Mac's `open -a Safari URL`, presses its button and
// posts the PRF result back. Each test has its own virtual Mac.
#include "common/hex.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_keychain.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/unavailable_services.h"
#include "tests/e2e/drive_test_support.h"
#include "tests/e2e/live_process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

const std::string toolDirectory = FERROLATCH_BROWSER_TOOLS;
const std::string chromiumPath = "/usr/bin/chromium";

// The one browser of the suite: a passkey made by enroll in one test's
// ceremony lives on in its tab, as in a user's browser.
class BrowserService final : public ::testing::Environment {
public:
    static inline std::string unavailable; // why the Chromium tests skip
    static inline std::string socketPath;

    void SetUp() override
    {
        if (!fs::exists(chromiumPath)) {
            unavailable = "Chromium is not installed at " + chromiumPath + " (scripts/install-deps installs it)";
            return;
        }
        if (!fs::exists(toolDirectory + "/node_modules/playwright-core/package.json"))
            throw std::runtime_error("playwright-core is missing: run `npm ci` in " + toolDirectory);
        m_directory = fs::temp_directory_path() / ("ferrolatch-browser-" + std::to_string(::getpid()));
        fs::create_directories(m_directory);
        socketPath = (m_directory / "service.sock").string();
        std::string log = (m_directory / "service.log").string();

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string script = toolDirectory + "/browser-service.mjs";
        std::vector<std::string> words {"node", script, "--socket", socketPath, "--chromium", chromiumPath};
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int failed = posix_spawnp(&m_pid, "node", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            throw std::runtime_error("could not start node for the browser service");

        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!fs::exists(socketPath)) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                throw std::runtime_error("the browser service ended: " + readTextFile(log));
            }
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the browser service did not start: " + readTextFile(log));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void TearDown() override
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM); // the service closes Chromium on its way out
            int status = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (::waitpid(m_pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (::waitpid(m_pid, &status, WNOHANG) == 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
            }
        }
        std::error_code ignored;
        if (!m_directory.empty())
            fs::remove_all(m_directory, ignored);
    }

private:
    pid_t m_pid = 0;
    fs::path m_directory;
};

::testing::Environment* const service = ::testing::AddGlobalTestEnvironment(new BrowserService);

#define REQUIRE_CHROMIUM()                                                                                             \
    if (!BrowserService::unavailable.empty())                                                                         \
    GTEST_SKIP() << BrowserService::unavailable

struct BrowserBench : DriveBench {
    std::string browserLog() const { return mac.sysroot() + "/private/var/log/macsim/browser.log"; }
    std::string images = work + "/images";

    std::map<std::string, std::string> browserEnvironment(const std::string& profile) const
    {
        auto environment = mac.environment();
        environment["FERROLATCH_SIM_BROWSER"] = toolDirectory + "/sim-browser.mjs";
        environment["FERROLATCH_BROWSER_SERVICE"] = BrowserService::socketPath;
        environment["FERROLATCH_BROWSER_AUTHENTICATOR"] = profile;
        return environment;
    }

    // A command through the browser, bounded so that a broken page fails the
    // test instead of waiting out the five-minute ceremony.
    RunResult browserCommand(const std::vector<std::string>& arguments, const std::string& profile = "prf",
                             const std::string* input = nullptr, int seconds = 120,
                             const std::map<std::string, std::string>& extra = {})
    {
        std::vector<std::string> words {std::to_string(seconds), ferrolatchExecutable()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        auto environment = browserEnvironment(profile);
        for (const auto& [name, value] : extra)
            environment[name] = value;
        RunResult result = run("/usr/bin/timeout", words, environment, input);
        everything += result.out + result.err;
        return result;
    }

    // What the sim browser reported for its n-th ceremony (1-based), once it has.
    json ceremonyReport(std::size_t n)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            std::vector<json> reports;
            std::istringstream log(fs::exists(browserLog()) ? readTextFile(browserLog()) : "");
            for (std::string line; std::getline(log, line);) {
                if (line.starts_with("sim-browser result: "))
                    reports.push_back(json::parse(line.substr(20)));
                else if (line.starts_with("sim-browser error: "))
                    reports.push_back(json {{"error", line}});
            }
            if (reports.size() >= n)
                return reports[n - 1];
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return json {{"error", "no report"}};
    }

    std::string progress(const std::string& mode) const
    {
        return "Safari opened for the " + mode + " ceremony. Complete its passkey prompt within five minutes.\n";
    }
};

bool contains(const json& statuses, const std::string& status)
{
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

}

TEST(BrowserCeremonyE2E, EnrollsAProofImageAndUnlocksItWithThePasskeyChromiumMade)
{
    REQUIRE_CHROMIUM();
    BrowserBench bench;
    std::string image = bench.images + "/proof.dmg";
    std::string manifestPath = bench.images + "/proof.json";

    RunResult enrolled = bench.browserCommand({"enroll", image, manifestPath});
    ASSERT_EQ(enrolled.status, 0) << enrolled.err << bench.ceremonyReport(1);
    EXPECT_EQ(enrolled.out, bench.progress("enroll") + "ENROLL PROOF PASSED\nCreated encrypted APFS image: " + image
                                + "\nCreated non-secret wrap manifest: " + manifestPath + "\n");
    json enrollReport = bench.ceremonyReport(1);
    EXPECT_EQ(enrollReport["status"], "Passkey enrolled. Ferrolatch is creating and sealing the disposable APFS proof.");
    EXPECT_EQ(enrollReport["creations"], 1);
    EXPECT_EQ(enrollReport["assertions"], 0) << "Chromium's PRF answers at creation";

    Manifest manifest = decodeManifest(readTextFile(manifestPath));
    EXPECT_EQ(manifest.relyingPartyID, "localhost");
    EXPECT_EQ(manifest.resourceKind, "disk-image");
    EXPECT_GT(base64URLDecode(manifest.credentialID).value().size(), 0u);
    EXPECT_EQ(base64URLDecode(manifest.prfSalt).value().size(), 32u);
    EXPECT_FALSE(manifest.volumeUUID);

    RunResult unlocked = bench.browserCommand({"unlock", image, manifestPath});
    ASSERT_EQ(unlocked.status, 0) << unlocked.err << bench.ceremonyReport(2);
    EXPECT_EQ(unlocked.out, bench.progress("unlock")
                                + "UNLOCK PROOF PASSED\nThe passkey-derived unwrap mounted, verified, and detached "
                                  "the encrypted APFS image.\n");
    json unlockReport = bench.ceremonyReport(2);
    EXPECT_EQ(unlockReport["creations"], 0);
    EXPECT_EQ(unlockReport["assertions"], 1);
    EXPECT_EQ(unlockReport["statuses"],
              json({"Waiting for you.", "Requesting the proof passkey…", "Passkey confirmed. Completing the local proof…",
                    "Passkey accepted. Ferrolatch is verifying the disposable APFS proof."}));
    EXPECT_TRUE(bench.state()["images"].empty()) << "nothing left attached";

    // A manifest whose wrap another passkey sealed fails at the unwrap.
    Manifest forged = manifest;
    forged.prfSalt = base64URLEncode(std::string(32, 's'));
    std::string forgedPath = bench.images + "/forged.json";
    std::ofstream(forgedPath) << encodeManifest(forged);
    RunResult refused = bench.browserCommand({"unlock", image, forgedPath});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "ferrolatch-proof: authentication failure (CryptoKit.CryptoKitError error 2)\n");
}

// A security key that reports PRF enabled at creation but answers only on
// assertion: the page asks exactly once more, and says so in between.
TEST(BrowserCeremonyE2E, ASecurityKeyWithoutPRFAtCreationIsAskedExactlyOnceMore)
{
    REQUIRE_CHROMIUM();
    BrowserBench bench;
    std::string image = bench.images + "/key.dmg";
    std::string manifestPath = bench.images + "/key.json";
    RunResult enrolled = bench.browserCommand({"enroll", image, manifestPath}, "hmac-secret");
    ASSERT_EQ(enrolled.status, 0) << enrolled.err << bench.ceremonyReport(1);
    json report = bench.ceremonyReport(1);
    EXPECT_EQ(report["creations"], 1);
    EXPECT_EQ(report["assertions"], 1);
    EXPECT_EQ(report["statuses"],
              json({"Waiting for you.", "Creating the proof passkey…",
                    "Passkey created. Confirm once more to produce the PRF output…",
                    "Passkey confirmed. Completing the local proof…",
                    "Passkey enrolled. Ferrolatch is creating and sealing the disposable APFS proof."}));

    RunResult unlocked = bench.browserCommand({"unlock", image, manifestPath}, "hmac-secret");
    EXPECT_EQ(unlocked.status, 0) << unlocked.err;
}

// The page stops and says why; the command, still waiting for a result, is
// ended by the user and leaves nothing behind.
TEST(BrowserCeremonyE2E, AStoppedPageWritesNothing)
{
    REQUIRE_CHROMIUM();
    struct Case {
        const char* profile;
        std::string status;
    };
    const Case cases[] = {
        {"no-prf", "Proof stopped: The selected passkey did not return a PRF result."},
        {"unverified", "Proof stopped: The operation either timed out or was not allowed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        BrowserBench bench;
        std::string image = bench.images + "/stopped.dmg";
        std::string manifestPath = bench.images + "/stopped.json";
        LiveProcess process(ferrolatchExecutable(), {"enroll", image, manifestPath}, bench.browserEnvironment(c.profile));
        ASSERT_TRUE(process.readUntil(bench.progress("enroll")));
        json report = bench.ceremonyReport(1);
        ASSERT_TRUE(report.contains("status")) << report;
        EXPECT_TRUE(report["status"].get<std::string>().starts_with(c.status)) << report["status"];
        EXPECT_TRUE(contains(report["statuses"], "Creating the proof passkey…"));

        ::kill(process.pid(), SIGTERM);
        std::string error;
        EXPECT_EQ(process.wait(error), 128 + SIGTERM);
        EXPECT_EQ(process.output(), bench.progress("enroll"));
        EXPECT_FALSE(fs::exists(image));
        EXPECT_FALSE(fs::exists(manifestPath));
        EXPECT_TRUE(bench.state()["images"].empty()) << bench.state()["images"];
    }
}

TEST(BrowserCeremonyE2E, EnrollsAVolumeOnASetUpDriveUnlocksItAndCopiesItsRecoveryPassword)
{
    REQUIRE_CHROMIUM();
    BrowserBench bench;
    bench.addDisk();
    std::string driveManifest = bench.work + "/drive.json";
    RunResult setUp = bench.initDrive("disk4", driveManifest);
    ASSERT_EQ(setUp.status, 0) << setUp.err;
    std::string container = bench.volumeNamed("PRIVATE").value()["container"];

    std::string credentialManifest = bench.work + "/credential.json";
    ASSERT_EQ(bench.browserCommand({"enroll", bench.images + "/c.dmg", credentialManifest}).status, 0);
    Manifest credential = decodeManifest(readTextFile(credentialManifest));

    std::string volumeManifest = bench.work + "/browser-volume.json";
    RunResult enrolled = bench.browserCommand({"enroll-volume", container, "Browser Vault", credentialManifest,
                                               volumeManifest});
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    Manifest manifest = decodeManifest(readTextFile(volumeManifest));
    EXPECT_EQ(enrolled.out, bench.progress("unlock") + "USB ENROLL PROOF PASSED\n"
                                + "Created and locked encrypted APFS volume: Browser Vault (" + *manifest.volumeUUID
                                + ")\nCreated non-secret wrap manifest: " + volumeManifest + "\n");
    EXPECT_EQ(manifest.relyingPartyID, "localhost");
    EXPECT_EQ(manifest.resourceKind, "apfs-volume");
    EXPECT_EQ(manifest.credentialID, credential.credentialID);
    EXPECT_NE(manifest.prfSalt, credential.prfSalt);
    EXPECT_EQ(manifest.volumeName, "Browser Vault");
    json volume = bench.volumeNamed("Browser Vault").value();
    EXPECT_EQ(volume["container"], container);
    EXPECT_EQ(volume["locked"], true);

    RunResult unlocked = bench.browserCommand({"unlock-volume", volumeManifest});
    ASSERT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(unlocked.out, bench.progress("unlock")
                                + "USB UNLOCK PROOF PASSED\nThe passkey-derived unwrap mounted, verified, and "
                                  "re-locked the physical encrypted APFS volume.\n");
    EXPECT_EQ(bench.volumeNamed("Browser Vault").value()["locked"], true);

    RunResult again = bench.browserCommand({"enroll-volume", container, "Browser Vault", credentialManifest,
                                            bench.work + "/second.json"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.ends_with("refusing to replace existing APFS volume named Browser Vault\n")) << again.err;

    // A failure after the volume exists locks it again and writes no manifest.
    bench.mac.macsimOrThrow({"fault", "add", "--tool", "sync", "--args-prefix", "", "--exit", "1", "--stderr",
                             "the disk went away"});
    std::string failedManifest = bench.work + "/failed.json";
    RunResult failed = bench.browserCommand({"enroll-volume", container, "Second", credentialManifest, failedManifest});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.err.ends_with("the disk went away\n")) << failed.err;
    EXPECT_FALSE(fs::exists(failedManifest));
    json second = bench.volumeNamed("Second").value();
    EXPECT_EQ(second["locked"], true);
    json lastCall = bench.audit().back();
    EXPECT_EQ(lastCall["argv"], json({"apfs", "lockVolume", second["device"]})) << lastCall;

    std::string returns = "\n\n\n\n\n";
    RunResult copied = bench.browserCommand({"copy-recovery", volumeManifest}, "prf", &returns);
    ASSERT_EQ(copied.status, 0) << copied.err;
    EXPECT_TRUE(copied.out.starts_with(bench.progress("unlock") + "MANUAL RECOVERY SAVE READY\n")) << copied.out;
    EXPECT_TRUE(copied.out.ends_with("CLIPBOARD CLEARED\n")) << copied.out;
    EXPECT_NE(copied.out.find("STEP 3/5 — Password COPIED"), std::string::npos);
    EXPECT_FALSE(fs::exists(MacsimPasteboard::pasteboardFile(bench.mac.sysroot())));
}

namespace {

const std::string saveConsent = R"([{"expect": "Save a password for ", "button": "Save Password"}])";
const std::string declineConsent = R"([{"expect": "Save a password for ", "button": "Not Now"}])";

// The recovery item's identity, as the program's store and the shared
// credential both use it.
KeychainAttributes recoveryIdentity(const std::string& account)
{
    KeychainAttributes identity;
    identity.itemClass = std::string(kSecClassInternetPassword);
    identity.server = std::string(recoveryCredentialDomain);
    identity.account = account;
    identity.protocol = std::string(kSecAttrProtocolHTTPS);
    identity.authenticationType = std::string(kSecAttrAuthenticationTypeHTMLForm);
    identity.synchronizable = true;
    return identity;
}

std::size_t passwordsOpenings(const json& audit)
{
    return static_cast<std::size_t>(std::count_if(audit.begin(), audit.end(), [](const json& call) {
        return call.dump().find(R"("-a","Passwords")") != std::string::npos;
    }));
}

}

// A browser volume's recovery password goes to the password manager: stored
// as exactly one item that is the volume's own password and never lies on
// disk in clear, an older item cleaned away; then offered as the shared
// credential, saved with consent and refused on "Not Now".
TEST(BrowserCeremonyE2E, StoresAndSharesTheRecoveryPasswordOfABrowserVolume)
{
    REQUIRE_CHROMIUM();
    BrowserBench bench;
    bench.addDisk();
    ASSERT_EQ(bench.initDrive("disk4", bench.work + "/drive.json").status, 0);
    std::string container = bench.volumeNamed("PRIVATE").value()["container"];
    std::string credentialManifest = bench.work + "/credential.json";
    ASSERT_EQ(bench.browserCommand({"enroll", bench.images + "/c.dmg", credentialManifest}).status, 0);
    std::string volumeManifest = bench.work + "/browser-volume.json";
    RunResult enrolled =
        bench.browserCommand({"enroll-volume", container, "Browser Vault", credentialManifest, volumeManifest});
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    const std::string uuid = *decodeManifest(readTextFile(volumeManifest)).volumeUUID;
    const std::string account = "Ferrolatch Browser Vault " + uuid;
    const std::string domain(recoveryCredentialDomain);

    // An item of the older layout for this volume, filed under the lower-case UUID.
    ManualClock clock;
    HeadlessMainLoop loop(clock);
    MacsimKeychain keychain(loop, unavailable::ui(), keychainStoreLocation(bench.mac.sysroot(), loginName()), "");
    KeychainAttributes legacy = recoveryIdentity(account);
    legacy.authenticationType = std::string(kSecAttrAuthenticationTypeDefault);
    std::string lowerUUID = uuid;
    std::transform(lowerUUID.begin(), lowerUUID.end(), lowerUUID.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    legacy.path = "/recovery/" + lowerUUID;
    legacy.valueData = SecretBytes::copyOf(std::string_view("an older copy"));
    ASSERT_EQ(keychain.add(legacy), errSecSuccess);

    RunResult stored = bench.browserCommand({"store-recovery", volumeManifest});
    ASSERT_EQ(stored.status, 0) << stored.err;
    EXPECT_EQ(stored.out, bench.progress("unlock") + "RECOVERY STORAGE PROOF PASSED\n"
                              + "Saved and read back an iCloud-synchronizable Internet password item.\nWebsite: "
                              + domain + "\nAccount: " + account + "\n");
    json items = json::parse(bench.mac.macsimOrThrow({"keychain", "list"}));
    ASSERT_EQ(items.size(), 1u) << items.dump(2);
    EXPECT_EQ(items[0], json({{"class", "inet"},
                              {"server", domain},
                              {"account", account},
                              {"protocol", "htps"},
                              {"authenticationType", "form"},
                              {"synchronizable", true},
                              {"label", "Ferrolatch recovery — Browser Vault"},
                              {"description", "Manual APFS recovery password for Ferrolatch volume " + uuid},
                              {"comment", "Use this password in Disk Utility if Ferrolatch cannot unlock the volume."},
                              {"invisible", false},
                              {"accessible", "ak"}}));
    EXPECT_EQ(passwordsOpenings(bench.audit()), 1u);

    // What the keychain holds is the volume's password: it unlocks the volume.
    KeychainQuery query;
    query.attributes = recoveryIdentity(account);
    query.returnData = true;
    std::optional<SecretBytes> password;
    ASSERT_EQ(keychain.copyMatching(query, password), errSecSuccess);
    const std::string secret(reinterpret_cast<const char*>(password->data()), password->size());
    EXPECT_EQ(secret.size(), 43u);
    json volume = bench.volumeNamed("Browser Vault").value();
    std::string withLineFeed = secret + "\n";
    RunResult unlocked =
        bench.mac.tool("/usr/sbin/diskutil", {"apfs", "unlockVolume", volume["device"], "-stdinpassphrase"}, &withLineFeed);
    ASSERT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(bench.volumeNamed("Browser Vault").value()["locked"], false);

    ASSERT_EQ(bench.mac.tool("/usr/sbin/diskutil", {"apfs", "lockVolume", volume["device"]}).status, 0);

    const std::map<std::string, std::string> transcript {{"FERROLATCH_UI_TRANSCRIPT", bench.transcript}};
    auto consent = [&](const std::string& script) {
        fs::remove(bench.transcript);
        auto environment = transcript;
        environment["FERROLATCH_UI_SCRIPT"] = script;
        return bench.browserCommand({"share-recovery", volumeManifest}, "prf", nullptr, 120, environment);
    };
    RunResult shared = consent(saveConsent);
    ASSERT_EQ(shared.status, 0) << shared.err;
    EXPECT_EQ(shared.out, bench.progress("unlock") + "PASSWORDS SHARED-CREDENTIAL PROOF PASSED\n"
                              + "The signed app saved or updated the visible recovery credential through macOS.\n"
                              + "Website: " + domain + "\nAccount: " + account + "\n");
    EXPECT_EQ(bench.alertMessages(), std::vector<std::string> {"Save a password for " + domain + "?"});
    EXPECT_EQ(passwordsOpenings(bench.audit()), 2u);

    RunResult declined = consent(declineConsent);
    EXPECT_EQ(declined.status, 1);
    EXPECT_EQ(declined.out, bench.progress("unlock"));
    EXPECT_EQ(declined.err, "ferrolatch-proof: Passwords rejected the shared recovery credential: The operation "
                            "couldn’t be completed. (OSStatus error -128.)\n");
    EXPECT_EQ(passwordsOpenings(bench.audit()), 2u);

    // A keychain that refuses the item fails the store after the ceremony.
    bench.mac.macsimOrThrow({"keychain", "fault", "add", "-25291"});
    RunResult refused = bench.browserCommand({"store-recovery", volumeManifest});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, bench.progress("unlock"));
    EXPECT_EQ(refused.err, "ferrolatch-proof: could not store the synchronizable recovery password: No keychain is "
                           "available. You may need to restart your computer. (-25291)\n");
    EXPECT_EQ(passwordsOpenings(bench.audit()), 2u);

    // Still the one item, and still the volume's password.
    EXPECT_EQ(json::parse(bench.mac.macsimOrThrow({"keychain", "list"})).size(), 1u);
    std::optional<SecretBytes> again;
    ASSERT_EQ(keychain.copyMatching(query, again), errSecSuccess);
    EXPECT_TRUE(again->equals(secret));

    // Nowhere in clear: no output, no tool call, no file of the Mac, sealed or hex.
    EXPECT_EQ(bench.everything.find(secret), std::string::npos);
    std::string audit = bench.mac.macsimOrThrow({"audit"});
    EXPECT_EQ(audit.find(secret), std::string::npos);
    const std::string hex = hexString(password->bytes());
    for (const auto& entry : fs::recursive_directory_iterator(bench.mac.sysroot())) {
        if (!entry.is_regular_file() || entry.is_symlink())
            continue;
        std::string contents = readTextFile(entry.path().string());
        EXPECT_EQ(contents.find(secret), std::string::npos) << entry.path();
        EXPECT_EQ(contents.find(hex), std::string::npos) << entry.path();
    }
}

// Everything that can be refused from the manifest is refused before any
// page opens: the sim browser never runs.
TEST(BrowserCeremonyE2E, RefusesForeignOrCraftedManifestsBeforeAnyBrowserOpens)
{
    BrowserBench bench;
    bench.addDisk();
    std::string nativeManifest = bench.work + "/drive.json";
    ASSERT_EQ(bench.initDrive("disk4", nativeManifest).status, 0);
    Manifest native = decodeManifest(readTextFile(nativeManifest));

    Manifest crafted = native;
    crafted.relyingPartyID = "localhost";
    crafted.resourceKind = "apfs-volume";
    crafted.credentialID = "AAAA\";fetch('/result/'+token,{method:'POST'});\"";
    std::string craftedPath = bench.work + "/crafted.json";
    std::ofstream(craftedPath) << encodeManifest(crafted);
    Manifest craftedImage = crafted;
    craftedImage.resourceKind = "disk-image";
    std::string craftedImagePath = bench.work + "/crafted-image.json";
    std::ofstream(craftedImagePath) << encodeManifest(craftedImage);
    Manifest browserVolume = crafted;
    browserVolume.credentialID = "QUFBQQ";
    std::string browserVolumePath = bench.work + "/browser-volume.json";
    std::ofstream(browserVolumePath) << encodeManifest(browserVolume);
    Manifest elsewhere = browserVolume;
    elsewhere.volumeUUID = "00000000-0000-4000-8000-000000000000";
    std::string elsewherePath = bench.work + "/elsewhere.json";
    std::ofstream(elsewherePath) << encodeManifest(elsewhere);
    // share-recovery runs with a user interface; an empty script answers no alert.
    const std::map<std::string, std::string> noAlerts {{"FERROLATCH_UI_SCRIPT", "[]"}};
    ASSERT_EQ(bench.ferrolatch({"mount-drive", nativeManifest}, json::array({signInAnswer})).status, 0);
    for (const auto& [command, error] :
         {std::pair {"unlock-volume", "the enrolled APFS volume is not encrypted and locked"},
          std::pair {"copy-recovery", "the enrolled APFS volume must be encrypted and locked"},
          std::pair {"store-recovery", "the enrolled APFS volume must be encrypted and locked"},
          std::pair {"share-recovery", "the enrolled APFS volume must be encrypted and locked"}}) {
        RunResult unlocked = bench.browserCommand({command, browserVolumePath}, "prf", nullptr, 20, noAlerts);
        EXPECT_EQ(unlocked.err, "ferrolatch-proof: " + std::string(error) + "\n");
    }
    ASSERT_EQ(bench.ferrolatch({"lock-drive", nativeManifest}).status, 0);

    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::string image = bench.images + "/x.dmg";
    const std::string existingImage = bench.work + "/someone-elses.dmg";
    std::ofstream(existingImage) << "data";
    const Case cases[] = {
        {{"unlock-volume", nativeManifest}, "manifest does not identify a supported APFS volume"},
        {{"copy-recovery", nativeManifest}, "manifest does not identify a supported APFS volume"},
        {{"store-recovery", nativeManifest}, "manifest does not identify a supported APFS volume"},
        {{"share-recovery", nativeManifest}, "manifest does not identify a supported APFS volume"},
        {{"unlock", image, nativeManifest}, "unsupported Ferrolatch proof manifest"},
        {{"enroll-volume", "disk5", "X", nativeManifest, bench.work + "/v.json"},
         "unsupported credential source manifest"},
        {{"enroll-volume", "disk5", "X", craftedPath, nativeManifest},
         "refusing to replace existing manifest at " + nativeManifest},
        {{"enroll", image, nativeManifest}, "refusing to replace existing manifest at " + nativeManifest},
        {{"enroll", existingImage, bench.work + "/v.json"}, "refusing to replace existing image at " + existingImage},
        {{"unlock-volume", elsewherePath}, "the enrolled APFS volume is not attached"},
        {{"copy-recovery", elsewherePath}, "the enrolled APFS volume is not attached"},
        {{"store-recovery", elsewherePath}, "the enrolled APFS volume is not attached"},
        {{"share-recovery", elsewherePath}, "the enrolled APFS volume is not attached"},
        {{"unlock-volume", craftedPath}, "browser returned malformed Base64URL"},
        {{"copy-recovery", craftedPath}, "browser returned malformed Base64URL"},
        {{"store-recovery", craftedPath}, "browser returned malformed Base64URL"},
        {{"share-recovery", craftedPath}, "browser returned malformed Base64URL"},
        {{"unlock", image, craftedImagePath}, "browser returned malformed Base64URL"},
        {{"enroll-volume", "disk5", "X", craftedImagePath, bench.work + "/v.json"},
         "browser returned malformed Base64URL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.error);
        RunResult result = bench.browserCommand(c.arguments, "prf", nullptr, 20, noAlerts);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "ferrolatch-proof: " + c.error + "\n");
    }
    EXPECT_FALSE(fs::exists(bench.browserLog()));
    EXPECT_EQ(readTextFile(bench.mac.sysroot() + "/private/var/log/macsim/open.jsonl").find("Safari"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(bench.work + "/v.json"));
    EXPECT_FALSE(fs::exists(image));
}
