#include "commands/keychain_recovery.h"

#include "commands/passwords_handoff.h"
#include "common/ascii_case.h"
#include "common/constants.h"
#include "common/errors.h"

#include <algorithm>

namespace ferrolatch {

KeychainAttributes recoveryItemIdentity(const std::string& account)
{
    KeychainAttributes identity;
    identity.itemClass = std::string(kSecClassInternetPassword);
    identity.account = account;
    identity.server = std::string(recoveryCredentialDomain);
    identity.protocol = std::string(kSecAttrProtocolHTTPS);
    identity.authenticationType = std::string(kSecAttrAuthenticationTypeHTMLForm);
    identity.synchronizable = true;
    return identity;
}

KeychainAttributes legacyRecoveryItemQuery(const std::string& account, const std::string& volumeUUID)
{
    KeychainAttributes legacy;
    legacy.itemClass = std::string(kSecClassInternetPassword);
    legacy.account = account;
    legacy.server = std::string(recoveryCredentialDomain);
    legacy.protocol = std::string(kSecAttrProtocolHTTPS);
    legacy.authenticationType = std::string(kSecAttrAuthenticationTypeDefault);
    legacy.path = "/recovery/" + asciiLowercased(volumeUUID);
    legacy.synchronizable = true;
    return legacy;
}

std::string describeSecurityStatus(Keychain& keychain, OSStatus status)
{
    if (std::optional<std::string> message = keychain.copyErrorMessageString(status))
        return *message + " (" + std::to_string(status) + ")";
    return "OSStatus " + std::to_string(status);
}

namespace {

// What add and update both write; the accessibility class is set on add only.
void setDescriptiveAttributes(KeychainAttributes& attributes, const SecretBytes& password,
                              const std::string& volumeName, const std::string& volumeUUID)
{
    attributes.label = "Ferrolatch recovery \u2014 " + volumeName;
    attributes.description = "Manual APFS recovery password for Ferrolatch volume " + volumeUUID;
    attributes.comment = "Use this password in Disk Utility if Ferrolatch cannot unlock the volume.";
    attributes.isInvisible = false;
    attributes.valueData = password.clone();
}

}

std::string saveRecoveryKeychainItem(Keychain& keychain, const SecretBytes& password, const std::string& volumeName,
                                     const std::string& volumeUUID)
{
    std::string account = recoveryAccount(volumeName, volumeUUID);
    KeychainAttributes identity = recoveryItemIdentity(account);

    KeychainAttributes added = identity.clone();
    setDescriptiveAttributes(added, password, volumeName, volumeUUID);
    added.accessible = std::string(kSecAttrAccessibleWhenUnlocked);
    OSStatus status = keychain.add(added);
    if (status == errSecDuplicateItem) {
        KeychainAttributes changes;
        setDescriptiveAttributes(changes, password, volumeName, volumeUUID);
        status = keychain.update(identity, changes);
    }
    if (status != errSecSuccess)
        throw ProofError("could not store the synchronizable recovery password: "
                         + describeSecurityStatus(keychain, status));

    // Wiped by its destructor on every path out of here, failures included.
    std::optional<SecretBytes> readBack;
    status = keychain.copyMatching({identity.clone(), true, true}, readBack);
    if (status != errSecSuccess || !readBack)
        throw ProofError("stored recovery password could not be read back: " + describeSecurityStatus(keychain, status));

    std::span<const std::uint8_t> stored = readBack->bytes();
    std::span<const std::uint8_t> wanted = password.bytes();
    if (!std::equal(stored.begin(), stored.end(), wanted.begin(), wanted.end())) {
        readBack->wipe();
        throw ProofError("stored recovery password did not round-trip exactly");
    }

    status = keychain.deleteItems(legacyRecoveryItemQuery(account, volumeUUID));
    if (status != errSecSuccess && status != errSecItemNotFound) {
        readBack->wipe();
        throw ProofError("new recovery item passed, but legacy-item cleanup failed: "
                         + describeSecurityStatus(keychain, status));
    }
    readBack->wipe();
    return account;
}

}
