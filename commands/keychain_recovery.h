#pragma once

#include "common/secret_bytes.h"
#include "platform/keychain.h"

#include <string>

namespace ferrolatch {

// The item's identity: the query of the update and the base of the read-back.
KeychainAttributes recoveryItemIdentity(const std::string& account);
// The item of the older layout for the same volume, removed after a store.
KeychainAttributes legacyRecoveryItemQuery(const std::string& account, const std::string& volumeUUID);

// The platform's text for a status and the code in parentheses, or
// "OSStatus " and the code when the platform has no text for it.
std::string describeSecurityStatus(Keychain& keychain, OSStatus status);

// Writes the recovery password as a synchronizable Internet-password item
// (updating the one already there), reads it back and compares it byte for
// byte, and deletes the legacy item. Returns the recovery account. The bytes
// read back are zeroed on every path.
std::string saveRecoveryKeychainItem(Keychain& keychain, const SecretBytes& password, const std::string& volumeName,
                                     const std::string& volumeUUID);

}
