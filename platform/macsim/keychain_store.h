#pragma once

#include "common/secret_bytes.h"
#include "platform/keychain.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// Where a virtual Mac keeps its keychain: the user's file, the key of that
// Mac its values are sealed under, and the faults a test asked for.
struct KeychainStoreLocation {
    std::string keychainDirectory; // Users/<login>/Library/Keychains
    std::string macKeyPath;        // private/var/db/macsim/keychain.key
    std::string faultsPath;        // private/var/db/macsim/keychain-faults.json

    std::string filePath() const { return keychainDirectory + "/login.keychain-db"; }
};

KeychainStoreLocation keychainStoreLocation(const std::string& sysroot, const std::string& loginName);

enum class KeychainOperation { Add, Update, Copy, Delete };

// The word a fault names an operation by ("add", "update", "copy", "delete").
std::string_view keychainOperationName(KeychainOperation operation);
std::optional<KeychainOperation> keychainOperationNamed(std::string_view name);

// A keychain call failed inside the store with this status.
struct KeychainStatusFailure {
    OSStatus status;
};

// One item as the file holds it: attributes in the open, the value sealed.
struct StoredKeychainItem {
    KeychainAttributes attributes; // valueData absent
    std::string sealedValue;       // hex of nonce, ciphertext and tag
};

// SecItem matching: every attribute the query names must be equal in the
// item; an absent synchronizable in the query asks for items that do not sync.
bool keychainQueryMatches(const KeychainAttributes& query, const KeychainAttributes& item);
// Two items that would be the same item (the class's primary key is equal).
bool sameKeychainIdentity(const KeychainAttributes& first, const KeychainAttributes& second);

// The file's text form and back; decoding fails with KeychainStatusFailure
// (errSecInvalidKeychain) on a damaged file.
std::string encodeKeychainFile(const std::vector<StoredKeychainItem>& items);
// Every attribute of every item as a JSON array, never a value, which stays sealed.
std::string encodeKeychainListing(const std::vector<StoredKeychainItem>& items);
std::vector<StoredKeychainItem> decodeKeychainFile(std::string_view text);

// The keychain file of one virtual Mac, held under its lock from
// construction to destruction, so that processes take turns.
class KeychainFile {
public:
    explicit KeychainFile(const KeychainStoreLocation& location);
    ~KeychainFile();
    KeychainFile(const KeychainFile&) = delete;
    KeychainFile& operator=(const KeychainFile&) = delete;

    std::vector<StoredKeychainItem>& items() { return m_items; }
    void save(); // atomically, mode 0600

    std::string seal(const SecretBytes& value);
    SecretBytes open(const std::string& sealed);

    // The first fault queued for this operation, removed as it fires.
    std::optional<OSStatus> takeFault(KeychainOperation operation);

private:
    const SecretBytes& macKey();

    KeychainStoreLocation m_location;
    int m_lock = -1;
    std::vector<StoredKeychainItem> m_items;
    std::optional<SecretBytes> m_key;
};

// Queues a fault for the next call of the operation; for the control tool.
void addKeychainFault(const KeychainStoreLocation& location, KeychainOperation operation, OSStatus status);
void clearKeychainFaults(const KeychainStoreLocation& location);

}
