#pragma once

#include "platform/keychain.h"
#include "platform/macsim/keychain_store.h"
#include "platform/main_loop.h"
#include "platform/ui.h"

#include <string>

namespace ferrolatch {

// The virtual Mac's keychain: SecItem calls over the user's keychain file,
// whose values are sealed under a key of that Mac, and the shared-web-
// credential service, which asks the user through Ui and serves only a domain
// the running bundle's entitlements associate with it.
class MacsimKeychain final : public Keychain {
public:
    MacsimKeychain(MainLoop& loop, Ui& ui, KeychainStoreLocation location, std::string entitlementsPath);

    OSStatus add(const KeychainAttributes& attributes) override;
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& changes) override;
    OSStatus copyMatching(const KeychainQuery& query, std::optional<SecretBytes>& data) override;
    OSStatus deleteItems(const KeychainAttributes& query) override;
    std::optional<std::string> copyErrorMessageString(OSStatus status) override;
    void addSharedWebCredential(const std::string& domain, const std::string& account, const SecretBytes& password,
                                SharedWebCredentialCompletion completion) override;

private:
    void answerSharedWebCredential(const std::string& domain, const std::string& account, const SecretBytes& password,
                                   const SharedWebCredentialCompletion& completion);
    // The consent alert, then the item saved or updated.
    OSStatus askAndSave(const std::string& domain, const std::string& account, const SecretBytes& password);

    MainLoop& m_loop;
    Ui& m_ui;
    KeychainStoreLocation m_location;
    std::string m_entitlementsPath;
};

// The Security framework's message for a status the virtual Mac produces.
std::optional<std::string> securityStatusMessage(OSStatus status);

// How a CFError of the OSStatus domain describes itself.
std::string osStatusErrorDescription(OSStatus status);

}
