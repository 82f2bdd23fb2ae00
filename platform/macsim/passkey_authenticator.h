#pragma once

#include "platform/macsim/passkey_store.h"
#include "common/errors.h"
#include "platform/main_loop.h"
#include "platform/passkey_service.h"
#include "platform/ui.h"

#include <string>
#include <vector>

namespace ferrolatch {

// Where the virtual Mac's authenticator keeps its state and what it trusts.
struct PasskeyAuthenticatorSettings {
    std::string keychainDirectory;     // Users/<login>/Library/Keychains of the sysroot
    std::string entitlementsPath;      // the running bundle's entitlements property list
    std::string applicationIdentifier; // named in the association error
};

// The virtual Mac's platform authenticator: software passkeys with the PRF
// extension, approved through a passkey sheet shown with Ui. Like the real
// service it serves a relying party only to an application whose entitlements
// associate it with "webcredentials:" + that domain, and it answers later on
// the main loop, never from inside performRequest.
class SimulatedPasskeyService final : public PasskeyService {
public:
    SimulatedPasskeyService(MainLoop& loop, Ui& ui, PasskeyAuthenticatorSettings settings);

    std::unique_ptr<PasskeyAuthorization> performRequest(const PasskeyRequest& request,
                                                         PasskeyAuthorizationDelegate& delegate) override;

    // The store file inside the keychain directory.
    std::string storePath() const;
    std::vector<StoredPasskey> storedPasskeys() const;

private:
    struct Pending;
    void answer(Pending& pending);
    PasskeyCredential registerPasskey(const PasskeyRegistrationRequest& request);
    PasskeyCredential assertPasskey(const PasskeyAssertionRequest& request, const StoredPasskey& passkey);
    bool approvedBySheet(Pending& pending, const std::string& relyingParty, bool registration,
                         const std::string& userName);
    bool associated(const std::string& relyingParty) const;

    MainLoop& m_loop;
    Ui& m_ui;
    PasskeyAuthenticatorSettings m_settings;
};

// The errors the real service reports, as it words them.
PlatformError authorizationCanceledError();
PlatformError noCredentialsError();
PlatformError notAssociatedError(const std::string& applicationIdentifier, const std::string& domain);

}
