#include "commands/keychain_recovery.h"

#include "common/constants.h"
#include "common/errors.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

using namespace ferrolatch;

namespace {

const std::string uuid = "6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";
const std::string account = "Ferrolatch Backup " + uuid;
const std::string password = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

std::string textOf(const SecretBytes& bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// A keychain in memory with just enough SecItem behaviour for the store: one
// item per (account, authentication type, path), duplicates refused. Each
// call can be made to answer with a given status instead, and every call is
// recorded with its attribute set.
class FakeKeychain final : public Keychain {
public:
    struct Item {
        KeychainAttributes attributes;
        std::string value;
    };
    std::vector<Item> items;
    std::map<std::string, OSStatus> forced;  // by operation
    bool copyGivesOtherBytes = false;
    bool copyGivesNothing = false;
    std::vector<std::pair<std::string, KeychainAttributes>> calls;
    std::map<OSStatus, std::string> messages {
        {errSecSuccess, "No error."},
        {errSecDuplicateItem, "The specified item already exists in the keychain."},
        {errSecItemNotFound, "The specified item could not be found in the keychain."},
        {-25308, "User interaction is not allowed."},
    };

    OSStatus add(const KeychainAttributes& attributes) override
    {
        calls.emplace_back("add", attributes.clone());
        if (auto status = take("add"))
            return *status;
        if (find(attributes))
            return errSecDuplicateItem;
        items.push_back({attributes.clone(), textOf(*attributes.valueData)});
        items.back().attributes.valueData.reset();
        return errSecSuccess;
    }
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& changes) override
    {
        calls.emplace_back("update", query.clone());
        calls.emplace_back("changes", changes.clone());
        if (auto status = take("update"))
            return *status;
        Item* item = find(query);
        if (!item)
            return errSecItemNotFound;
        item->attributes.label = changes.label;
        item->attributes.description = changes.description;
        item->attributes.comment = changes.comment;
        item->attributes.isInvisible = changes.isInvisible;
        if (changes.accessible)
            item->attributes.accessible = changes.accessible;
        item->value = textOf(*changes.valueData);
        return errSecSuccess;
    }
    OSStatus copyMatching(const KeychainQuery& query, std::optional<SecretBytes>& data) override
    {
        calls.emplace_back(query.returnData && query.matchLimitOne ? "copy data one" : "copy", query.attributes.clone());
        if (auto status = take("copy"))
            return *status;
        if (copyGivesNothing)
            return errSecSuccess;
        Item* item = find(query.attributes);
        if (!item)
            return errSecItemNotFound;
        data = SecretBytes::copyOf(copyGivesOtherBytes ? item->value + "x" : item->value);
        return errSecSuccess;
    }
    OSStatus deleteItems(const KeychainAttributes& query) override
    {
        calls.emplace_back("delete", query.clone());
        if (auto status = take("delete"))
            return *status;
        Item* item = find(query);
        if (!item)
            return errSecItemNotFound;
        items.erase(items.begin() + (item - items.data()));
        return errSecSuccess;
    }
    std::optional<std::string> copyErrorMessageString(OSStatus status) override
    {
        auto found = messages.find(status);
        return found == messages.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    void addSharedWebCredential(const std::string&, const std::string&, const SecretBytes&,
                                SharedWebCredentialCompletion) override
    {
        ADD_FAILURE() << "the keychain item never goes through the shared-credential service";
    }

    std::vector<std::string> operations() const
    {
        std::vector<std::string> names;
        for (const auto& call : calls)
            names.push_back(call.first);
        return names;
    }

private:
    std::optional<OSStatus> take(const std::string& operation)
    {
        auto found = forced.find(operation);
        if (found == forced.end())
            return std::nullopt;
        return found->second;
    }
    Item* find(const KeychainAttributes& query)
    {
        for (Item& item : items)
            if (item.attributes.account == query.account && item.attributes.server == query.server
                && item.attributes.authenticationType == query.authenticationType
                && item.attributes.path == query.path && item.attributes.synchronizable == query.synchronizable)
                return &item;
        return nullptr;
    }
};

SecretBytes secret(const std::string& text = password) { return SecretBytes::copyOf(text); }

void expectIdentity(const KeychainAttributes& attributes)
{
    EXPECT_EQ(attributes.itemClass, "inet");
    EXPECT_EQ(attributes.account, account);
    EXPECT_EQ(attributes.server, std::string(recoveryCredentialDomain));
    EXPECT_EQ(attributes.protocol, "htps");
    EXPECT_EQ(attributes.authenticationType, "form");
    EXPECT_EQ(attributes.synchronizable, true);
    EXPECT_FALSE(attributes.path);
}

}

TEST(KeychainRecoveryItem, FirstStoreAddsTheSynchronizableItemReadsItBackAndCleansTheLegacyItem)
{
    FakeKeychain keychain;
    EXPECT_EQ(saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid), account);

    EXPECT_EQ(keychain.operations(), (std::vector<std::string> {"add", "copy data one", "delete"}));
    const KeychainAttributes& added = keychain.calls[0].second;
    expectIdentity(added);
    EXPECT_EQ(added.label, "Ferrolatch recovery \u2014 Backup");
    EXPECT_EQ(added.description, "Manual APFS recovery password for Ferrolatch volume " + uuid);
    EXPECT_EQ(added.comment, "Use this password in Disk Utility if Ferrolatch cannot unlock the volume.");
    EXPECT_EQ(added.isInvisible, false);
    EXPECT_EQ(added.accessible, "ak");
    EXPECT_EQ(textOf(*added.valueData), password);

    const KeychainAttributes& readBack = keychain.calls[1].second;
    expectIdentity(readBack);
    EXPECT_FALSE(readBack.valueData);

    const KeychainAttributes& legacy = keychain.calls[2].second;
    EXPECT_EQ(legacy.itemClass, "inet");
    EXPECT_EQ(legacy.account, account);
    EXPECT_EQ(legacy.server, std::string(recoveryCredentialDomain));
    EXPECT_EQ(legacy.protocol, "htps");
    EXPECT_EQ(legacy.authenticationType, "dflt");
    EXPECT_EQ(legacy.path, "/recovery/6a0d3c2e-1f4b-4e8a-9c7d-5b3a2f1e0d9c");
    EXPECT_EQ(legacy.synchronizable, true);
    ASSERT_EQ(keychain.items.size(), 1u);
}

TEST(KeychainRecoveryItem, SecondStoreUpdatesTheSameItemInPlaceWithoutTouchingItsAccessibility)
{
    FakeKeychain keychain;
    saveRecoveryKeychainItem(keychain, secret("first password"), "Backup", uuid);
    keychain.items[0].attributes.accessible = "ck"; // set by someone else since
    keychain.calls.clear();

    EXPECT_EQ(saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid), account);
    EXPECT_EQ(keychain.operations(), (std::vector<std::string> {"add", "update", "changes", "copy data one", "delete"}));
    expectIdentity(keychain.calls[1].second);
    const KeychainAttributes& changes = keychain.calls[2].second;
    EXPECT_FALSE(changes.accessible);
    EXPECT_FALSE(changes.itemClass);
    EXPECT_EQ(changes.label, "Ferrolatch recovery \u2014 Backup");
    EXPECT_EQ(changes.isInvisible, false);
    ASSERT_EQ(keychain.items.size(), 1u);
    EXPECT_EQ(keychain.items[0].value, password);
    EXPECT_EQ(keychain.items[0].attributes.accessible, "ck");
}

TEST(KeychainRecoveryItem, TheLegacyItemIsDeletedAndItsAbsenceIsNoFailure)
{
    FakeKeychain keychain;
    KeychainAttributes legacy = legacyRecoveryItemQuery(account, uuid);
    keychain.items.push_back({legacy.clone(), "old"});
    saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid);
    ASSERT_EQ(keychain.items.size(), 1u);
    EXPECT_FALSE(keychain.items[0].attributes.path);

    keychain.calls.clear();
    EXPECT_NO_THROW(saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid)); // delete answers -25300
    EXPECT_EQ(keychain.operations().back(), "delete");
}

TEST(KeychainRecoveryItem, EachFailureStopsWithItsMessageAndTheStatusDescribed)
{
    struct Case {
        std::string name;
        std::function<void(FakeKeychain&)> arrange;
        std::string message;
        std::vector<std::string> operations;
    };
    const Case cases[] = {
        {"add refused", [](FakeKeychain& k) { k.forced["add"] = -25308; },
         "could not store the synchronizable recovery password: User interaction is not allowed. (-25308)", {"add"}},
        {"update refused", [](FakeKeychain& k) { k.forced["add"] = errSecDuplicateItem; k.forced["update"] = -4; },
         "could not store the synchronizable recovery password: OSStatus -4", {"add", "update", "changes"}},
        {"read-back refused", [](FakeKeychain& k) { k.forced["copy"] = errSecItemNotFound; },
         "stored recovery password could not be read back: The specified item could not be found in the keychain. "
         "(-25300)",
         {"add", "copy data one"}},
        {"read-back without data", [](FakeKeychain& k) { k.copyGivesNothing = true; },
         "stored recovery password could not be read back: No error. (0)", {"add", "copy data one"}},
        {"read-back differs", [](FakeKeychain& k) { k.copyGivesOtherBytes = true; },
         "stored recovery password did not round-trip exactly", {"add", "copy data one"}},
        {"legacy delete refused", [](FakeKeychain& k) { k.forced["delete"] = -25308; },
         "new recovery item passed, but legacy-item cleanup failed: User interaction is not allowed. (-25308)",
         {"add", "copy data one", "delete"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKeychain keychain;
        c.arrange(keychain);
        try {
            saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid);
            ADD_FAILURE() << "no failure";
        } catch (const ProofError& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        EXPECT_EQ(keychain.operations(), c.operations);
    }
}

TEST(KeychainRecoveryItem, AFailedLegacyCleanupLeavesTheVerifiedNewItem)
{
    FakeKeychain keychain;
    keychain.forced["delete"] = -25308;
    EXPECT_THROW(saveRecoveryKeychainItem(keychain, secret(), "Backup", uuid), ProofError);
    ASSERT_EQ(keychain.items.size(), 1u);
    EXPECT_EQ(keychain.items[0].value, password);
}

TEST(KeychainRecoveryItem, StatusIsDescribedByThePlatformTextOrByItsNumber)
{
    FakeKeychain keychain;
    EXPECT_EQ(describeSecurityStatus(keychain, errSecDuplicateItem),
              "The specified item already exists in the keychain. (-25299)");
    EXPECT_EQ(describeSecurityStatus(keychain, 0), "No error. (0)");
    EXPECT_EQ(describeSecurityStatus(keychain, -67999), "OSStatus -67999");
    EXPECT_EQ(describeSecurityStatus(keychain, 2147483647), "OSStatus 2147483647");
}
