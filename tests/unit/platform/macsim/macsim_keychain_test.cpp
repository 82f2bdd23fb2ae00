#include "common/hex.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_keychain.h"
#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;
namespace fs = std::filesystem;

namespace {

const std::string domain = "ferrolatch.example";
const std::string secretText = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

unsigned modeOf(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

KeychainAttributes identity(const std::string& account = "Ferrolatch Backup X")
{
    KeychainAttributes attributes;
    attributes.itemClass = std::string(kSecClassInternetPassword);
    attributes.account = account;
    attributes.server = domain;
    attributes.protocol = std::string(kSecAttrProtocolHTTPS);
    attributes.authenticationType = std::string(kSecAttrAuthenticationTypeHTMLForm);
    attributes.synchronizable = true;
    return attributes;
}

KeychainAttributes withValue(KeychainAttributes attributes, const std::string& value = secretText)
{
    attributes.valueData = SecretBytes::copyOf(value);
    return attributes;
}

struct VirtualKeychain : ::testing::Test {
    fs::path root = fs::temp_directory_path() / ("keychain-test-" + std::to_string(::getpid()) + "-"
                                                 + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    FakeUi ui;
    KeychainStoreLocation location;
    std::string entitlementsPath;
    std::unique_ptr<MacsimKeychain> keychain;

    VirtualKeychain()
    {
        fs::remove_all(root);
        fs::create_directories(root / "Users/me/Library/Keychains");
        fs::create_directories(root / "private/var/db/macsim");
        location = keychainStoreLocation(root.string(), "me");
        entitlementsPath = (root / "Ferrolatch.entitlements").string();
        std::ofstream(entitlementsPath) << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>com.apple.developer.associated-domains</key><array><string>webcredentials:)"
                                        << domain << R"(</string></array>
</dict></plist>
)";
        keychain = std::make_unique<MacsimKeychain>(loop, ui, location, entitlementsPath);
    }
    ~VirtualKeychain() override { fs::remove_all(root); }

    std::optional<std::string> read(const KeychainAttributes& query, OSStatus expected = errSecSuccess)
    {
        std::optional<SecretBytes> data;
        EXPECT_EQ(keychain->copyMatching({query.clone(), true, true}, data), expected);
        return data ? std::optional<std::string>(textOf(*data)) : std::nullopt;
    }

    std::vector<StoredKeychainItem> stored()
    {
        KeychainFile file(location);
        return std::move(file.items());
    }

    struct Answer {
        OSStatus status = 1;
        std::optional<std::string> description;
        bool done = false;
    };
    Answer share(const std::string& forDomain, const std::string& account, const std::string& value)
    {
        Answer answer;
        keychain->addSharedWebCredential(forDomain, account, SecretBytes::copyOf(value),
                                         [&](OSStatus status, std::optional<std::string> description) {
                                             answer = {status, std::move(description), true};
                                         });
        EXPECT_FALSE(answer.done) << "answered inside the call";
        loop.runUntil([&] { return answer.done; });
        return answer;
    }
};

}

TEST_F(VirtualKeychain, AddedItemReadsBackAndTheFileKeepsItPrivateAndSealed)
{
    KeychainAttributes item = withValue(identity());
    item.label = "Ferrolatch recovery \u2014 Backup";
    ASSERT_EQ(keychain->add(item), errSecSuccess);
    EXPECT_EQ(read(identity()), secretText);

    std::string file = readFile(location.filePath());
    EXPECT_NE(file.find("Ferrolatch Backup X"), std::string::npos);
    EXPECT_EQ(file.find(secretText), std::string::npos);
    EXPECT_EQ(file.find(hexString(SecretBytes::copyOf(secretText).bytes())), std::string::npos);
    EXPECT_EQ(modeOf(location.filePath()), 0600u);
    EXPECT_EQ(modeOf(location.macKeyPath), 0600u);
    for (const auto& entry : fs::directory_iterator(root / "Users/me/Library/Keychains"))
        EXPECT_TRUE(entry.path().filename().string().starts_with("login.keychain-db")) << entry.path();

    // Under another Mac's key the value cannot be opened.
    fs::remove(location.macKeyPath);
    EXPECT_EQ(read(identity(), errSecDecode), std::nullopt);
}

TEST_F(VirtualKeychain, SameIdentityIsADuplicateAndUpdateKeepsTheAccessibility)
{
    KeychainAttributes item = withValue(identity(), "first");
    item.accessible = "ck";
    ASSERT_EQ(keychain->add(item), errSecSuccess);
    EXPECT_EQ(keychain->add(withValue(identity(), "second")), errSecDuplicateItem);
    EXPECT_EQ(read(identity()), "first");

    KeychainAttributes changes;
    changes.label = "relabelled";
    changes.valueData = SecretBytes::copyOf("second");
    ASSERT_EQ(keychain->update(identity(), changes), errSecSuccess);
    EXPECT_EQ(read(identity()), "second");
    std::vector<StoredKeychainItem> items = stored();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].attributes.accessible, "ck");
    EXPECT_EQ(items[0].attributes.label, "relabelled");

    EXPECT_EQ(keychain->update(identity("nobody"), changes), errSecItemNotFound);
}

TEST_F(VirtualKeychain, QueriesMatchOnEveryAttributeTheyName)
{
    ASSERT_EQ(keychain->add(withValue(identity())), errSecSuccess);
    KeychainAttributes legacy = identity();
    legacy.authenticationType = std::string(kSecAttrAuthenticationTypeDefault);
    legacy.path = "/recovery/abc";
    ASSERT_EQ(keychain->add(withValue(legacy.clone(), "legacy")), errSecSuccess); // another identity: no duplicate

    struct Case {
        std::string name;
        std::function<void(KeychainAttributes&)> change;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {"identity", [](KeychainAttributes&) {}, secretText},
        {"legacy path", [](KeychainAttributes& q) { q.path = "/recovery/abc"; q.authenticationType = "dflt"; },
         "legacy"},
        {"other class", [](KeychainAttributes& q) { q.itemClass = "genp"; }, std::nullopt},
        {"other account", [](KeychainAttributes& q) { q.account = "Ferrolatch Backup Y"; }, std::nullopt},
        {"other server", [](KeychainAttributes& q) { q.server = "example.com"; }, std::nullopt},
        {"other protocol", [](KeychainAttributes& q) { q.protocol = "http"; }, std::nullopt},
        {"other path", [](KeychainAttributes& q) { q.path = "/recovery/ABC"; }, std::nullopt},
        {"not synchronizable", [](KeychainAttributes& q) { q.synchronizable = false; }, std::nullopt},
        {"synchronizable unnamed", [](KeychainAttributes& q) { q.synchronizable.reset(); }, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeychainAttributes query = identity();
        c.change(query);
        EXPECT_EQ(read(query, c.found ? errSecSuccess : errSecItemNotFound), c.found);
    }

    EXPECT_EQ(keychain->deleteItems(legacy), errSecSuccess);
    EXPECT_EQ(keychain->deleteItems(legacy), errSecItemNotFound);
    EXPECT_EQ(read(identity()), secretText);
    KeychainAttributes generic;
    generic.itemClass = std::string(kSecClassGenericPassword);
    generic.account = "no value";
    ASSERT_EQ(keychain->add(generic), errSecSuccess);
    EXPECT_EQ(read(generic), "");

    KeychainAttributes noClass = identity();
    noClass.itemClass.reset();
    EXPECT_EQ(keychain->add(withValue(std::move(noClass))), errSecParam);
}

TEST_F(VirtualKeychain, AFaultFailsTheNextCallOfItsOperationOnce)
{
    addKeychainFault(location, KeychainOperation::Add, -25308);
    addKeychainFault(location, KeychainOperation::Delete, -61);
    EXPECT_EQ(keychain->add(withValue(identity())), -25308);
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(keychain->add(withValue(identity())), errSecSuccess);
    EXPECT_EQ(keychain->deleteItems(identity()), -61);
    EXPECT_EQ(keychain->deleteItems(identity()), errSecSuccess);

    addKeychainFault(location, KeychainOperation::Copy, -1);
    clearKeychainFaults(location);
    EXPECT_EQ(read(identity(), errSecItemNotFound), std::nullopt);
}

TEST_F(VirtualKeychain, ADamagedFileIsReportedAndLeftAsItWas)
{
    std::ofstream(location.filePath()) << "{\"format\": \"something else\"}";
    EXPECT_EQ(keychain->add(withValue(identity())), errSecInvalidKeychain);
    EXPECT_EQ(readFile(location.filePath()), "{\"format\": \"something else\"}");
}

TEST_F(VirtualKeychain, SharedCredentialIsSavedOnlyWithTheUsersConsent)
{
    ui.answers.push_back({"Save a password for " + domain, 1, std::nullopt, {}});
    Answer declined = share(domain, "Ferrolatch Backup X", secretText);
    EXPECT_EQ(declined.status, errSecUserCanceled);
    EXPECT_EQ(declined.description, "The operation couldn’t be completed. (OSStatus error -128.)");
    EXPECT_TRUE(stored().empty());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].buttons, (std::vector<std::string> {"Save Password", "Not Now"}));
    EXPECT_NE(ui.shown[0].informative.find("“Ferrolatch Backup X”"), std::string::npos);

    ui.answers.push_back({"Save a password for " + domain, 0, std::nullopt, {}});
    ui.answers.push_back({"Save a password for " + domain, 0, std::nullopt, {}});
    EXPECT_EQ(share(domain, "Ferrolatch Backup X", "old").status, errSecSuccess);
    Answer saved = share(domain, "Ferrolatch Backup X", secretText);
    EXPECT_EQ(saved.status, errSecSuccess);
    EXPECT_FALSE(saved.description);
    std::vector<StoredKeychainItem> items = stored();
    ASSERT_EQ(items.size(), 1u); // updated, not added again
    EXPECT_EQ(read(identity()), secretText);
}

TEST_F(VirtualKeychain, SharedCredentialForADomainTheBundleIsNotAssociatedWithIsRefusedWithoutAsking)
{
    Answer answer = share("example.com", "someone", secretText);
    EXPECT_EQ(answer.status, errSecMissingEntitlement);
    EXPECT_EQ(answer.description, "example.com not found in com.apple.developer.associated-domains entitlement");
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_TRUE(stored().empty());
}

TEST_F(VirtualKeychain, SharedCredentialReportsAKeychainFaultAsItsError)
{
    addKeychainFault(location, KeychainOperation::Add, -25308);
    ui.answers.push_back({"Save a password for ", 0, std::nullopt, {}});
    Answer answer = share(domain, "Ferrolatch Backup X", secretText);
    EXPECT_EQ(answer.status, -25308);
    EXPECT_EQ(answer.description, "The operation couldn’t be completed. (OSStatus error -25308.)");
}

TEST(SecurityStatusMessages, TheVirtualMacDescribesTheStatusesItProduces)
{
    EXPECT_EQ(securityStatusMessage(errSecDuplicateItem), "The specified item already exists in the keychain.");
    EXPECT_EQ(securityStatusMessage(errSecItemNotFound), "The specified item could not be found in the keychain.");
    EXPECT_EQ(securityStatusMessage(-99999), std::nullopt);
}
