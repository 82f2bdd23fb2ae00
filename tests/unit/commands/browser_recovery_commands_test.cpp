#include "commands/browser_commands.h"

#include "common/constants.h"
#include "common/errors.h"
#include "platform/headless/headless_main_loop.h"
#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;

namespace {

const std::string uuid = "6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";
const std::string account = "Ferrolatch Browser Vault " + uuid;
const std::string key43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";
const std::vector<std::string> openPasswords {"/usr/bin/open", "-a", "Passwords"};

// One keychain for both ways in: an item store that keeps what was added
// (and can refuse the add), and a shared-credential service that answers a
// second later on the main loop with the status the test chose.
class FakeKeychain final : public Keychain {
public:
    std::map<std::string, std::string> items; // account -> value
    std::optional<OSStatus> refuseAdd;
    OSStatus shareAnswer = errSecSuccess;
    std::optional<std::string> shareDescription;
    std::vector<std::string> shared; // "domain account password" as the service saw it
    MainLoop* loop = nullptr;

    OSStatus add(const KeychainAttributes& attributes) override
    {
        if (refuseAdd)
            return *refuseAdd;
        if (items.contains(*attributes.account))
            return errSecDuplicateItem;
        items[*attributes.account] = textOf(*attributes.valueData);
        return errSecSuccess;
    }
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& changes) override
    {
        items[*query.account] = textOf(*changes.valueData);
        return errSecSuccess;
    }
    OSStatus copyMatching(const KeychainQuery& query, std::optional<SecretBytes>& data) override
    {
        auto found = items.find(*query.attributes.account);
        if (found == items.end())
            return errSecItemNotFound;
        data = SecretBytes::copyOf(found->second);
        return errSecSuccess;
    }
    OSStatus deleteItems(const KeychainAttributes&) override { return errSecItemNotFound; }
    std::optional<std::string> copyErrorMessageString(OSStatus status) override
    {
        if (status == -25308)
            return "User interaction is not allowed.";
        return std::nullopt;
    }
    void addSharedWebCredential(const std::string& domain, const std::string& name, const SecretBytes& password,
                                SharedWebCredentialCompletion completion) override
    {
        shared.push_back(domain + " " + name + " " + textOf(password));
        loop->postAfter(1.0, [this, completion] { completion(shareAnswer, shareDescription); });
    }
};

// The second half of a browser recovery command, its password obtained.
struct Bench {
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    FakeKeychain keychain;
    FakeTools tools;
    std::ostringstream out;
    BrowserRecoveryServices services {keychain, loop, tools, out};
    BrowserVolumePassword obtained {SecretBytes::copyOf(key43), "Browser Vault", uuid};

    Bench() { keychain.loop = &loop; }

    std::string failure(void (*command)(BrowserRecoveryServices&, BrowserVolumePassword&))
    {
        try {
            command(services, obtained);
        } catch (const ProofError& error) {
            return error.what();
        }
        return "";
    }

    bool openedPasswords() const
    {
        return std::find(tools.calls.begin(), tools.calls.end(), openPasswords) != tools.calls.end();
    }
};

const std::string website = "Website: " + std::string(recoveryCredentialDomain) + "\n";

}

TEST(BrowserRecovery, StoreSavesTheItemReportsAndOpensPasswordsWhetherOrNotPasswordsOpens)
{
    Bench t;
    for (bool opens : {true, false}) {
        SCOPED_TRACE(opens);
        t.tools.outcomes.clear();
        t.tools.calls.clear();
        if (opens)
            t.tools.outcomes[{"-a", "Passwords"}] = ToolOutcome {0, "", ""};
        t.out.str("");
        t.obtained.password = SecretBytes::copyOf(key43);

        EXPECT_EQ(t.failure(storeObtainedRecovery), "");
        EXPECT_EQ(t.out.str(), "RECOVERY STORAGE PROOF PASSED\n"
                             "Saved and read back an iCloud-synchronizable Internet password item.\n"
                                 + website + "Account: " + account + "\n");
        EXPECT_EQ(t.keychain.items, (std::map<std::string, std::string> {{account, key43}}));
        EXPECT_EQ(t.tools.calls, std::vector<std::vector<std::string>> {openPasswords});
        EXPECT_TRUE(t.obtained.password.empty());
    }
}

TEST(BrowserRecovery, ShareOffersThePasswordForTheAccountReportsAndOpensPasswords)
{
    Bench t;
    EXPECT_EQ(t.failure(shareObtainedRecovery), "");
    EXPECT_EQ(t.out.str(), "PASSWORDS SHARED-CREDENTIAL PROOF PASSED\n"
                         "The signed app saved or updated the visible recovery credential through macOS.\n"
                             + website + "Account: " + account + "\n");
    EXPECT_EQ(t.keychain.shared,
              std::vector<std::string> {std::string(recoveryCredentialDomain) + " " + account + " " + key43});
    EXPECT_TRUE(t.keychain.items.empty()) << "sharing writes no keychain item of its own";
    EXPECT_TRUE(t.openedPasswords());
    EXPECT_TRUE(t.obtained.password.empty());
}

// However the second half fails, nothing is reported, Passwords stays shut
// and the password is zeroed.
TEST(BrowserRecovery, AFailureReportsNothingAndStillZeroesThePassword)
{
    struct Case {
        const char* name;
        void (*command)(BrowserRecoveryServices&, BrowserVolumePassword&);
        std::function<void(Bench&)> arrange;
        std::string error;
    };
    const Case cases[] = {
        {"keychain refuses", storeObtainedRecovery,
         [](Bench& t) { t.keychain.refuseAdd = -25308; },
         "could not store the synchronizable recovery password: User interaction is not allowed. (-25308)"},
        {"user says Not Now", shareObtainedRecovery,
         [](Bench& t) {
             t.keychain.shareAnswer = -128;
             t.keychain.shareDescription = "The operation couldn’t be completed. (OSStatus error -128.)";
         },
         "Passwords rejected the shared recovery credential: The operation couldn’t be completed. (OSStatus error "
         "-128.)"},
        {"password not UTF-8", shareObtainedRecovery,
         [](Bench& t) { t.obtained.password = SecretBytes::copyOf(std::string("\xff\xfe", 2)); },
         "recovery password was not valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench t;
        c.arrange(t);
        EXPECT_EQ(t.failure(c.command), c.error);
        EXPECT_EQ(t.out.str(), "");
        EXPECT_TRUE(t.tools.calls.empty());
        EXPECT_TRUE(t.obtained.password.empty());
        EXPECT_TRUE(t.keychain.items.empty());
    }
}
