#include "platform/macsim/passkey_authenticator.h"

#include "platform/posix/record_lock.h"

#include "platform/macsim/entitlements.h"
#include "platform/posix/atomic_write.h"

#include <openssl/rand.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace ferrolatch {

PlatformError authorizationCanceledError()
{
    return PlatformError(authorizationErrorDomain, authorizationErrorCanceled,
                         "The operation couldn’t be completed. (com.apple.AuthenticationServices.AuthorizationError "
                         "error 1001.)");
}

PlatformError noCredentialsError()
{
    return PlatformError(authorizationErrorDomain, authorizationErrorFailed,
                         "The operation couldn’t be completed. No credentials available for login.");
}

PlatformError notAssociatedError(const std::string& applicationIdentifier, const std::string& domain)
{
    return PlatformError(authorizationErrorDomain, authorizationErrorFailed,
                         "The operation couldn’t be completed. Application with identifier " + applicationIdentifier
                             + " is not associated with domain " + domain);
}

namespace {

Bytes randomIdentifier(std::size_t count)
{
    Bytes bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1)
        throw PlatformError("NSOSStatusErrorDomain", -67673, "The random number generator failed.");
    return bytes;
}

SecretBytes randomSecret(std::size_t count)
{
    SecretBytes secret(count);
    if (RAND_bytes(secret.data(), static_cast<int>(count)) != 1)
        throw PlatformError("NSOSStatusErrorDomain", -67673, "The random number generator failed.");
    return secret;
}

// Reads a whole file into a secret buffer; a missing file reads as empty.
SecretBytes readSecretFile(const std::string& path)
{
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno == ENOENT)
            return {};
        throw PlatformError::fromErrno(errno, path);
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        int error = errno;
        ::close(descriptor);
        throw PlatformError::fromErrno(error, path);
    }
    SecretBytes contents(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < contents.size()) {
        ssize_t count = ::read(descriptor, contents.data() + done, contents.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            int error = count < 0 ? errno : EIO;
            ::close(descriptor);
            throw PlatformError::fromErrno(error, path);
        }
        done += static_cast<std::size_t>(count);
    }
    ::close(descriptor);
    return contents;
}

void writeSecretFileAtomically(const std::string& path, const SecretBytes& contents)
{
    if (int number = writeThroughTemporary(path, contents.bytes(), 0600))
        throw PlatformError::fromErrno(number, path);
}


const std::string& relyingPartyOf(const PasskeyRequest& request)
{
    return std::visit([](const auto& r) -> const std::string& { return r.relyingPartyIdentifier; }, request);
}

std::optional<PrfOutput> evaluatePrf(const SecretBytes& secret, const PrfInputValues& input)
{
    PrfOutput output;
    output.first = passkeyPrf(secret, input.saltInput1);
    if (input.saltInput2)
        output.second = passkeyPrf(secret, *input.saltInput2);
    return output;
}

}

struct SimulatedPasskeyService::Pending {
    PasskeyRequest request;
    PasskeyAuthorizationDelegate* delegate = nullptr;
    bool alive = true;      // the authorization handle still exists
    bool cancelled = false;
    bool answered = false;
    bool sheetShowing = false;

    void deliver(PasskeyCredential credential)
    {
        if (!alive || answered)
            return;
        answered = true;
        delegate->didCompleteWithAuthorization(std::move(credential));
    }
    void deliver(std::exception_ptr error)
    {
        if (!alive || answered)
            return;
        answered = true;
        delegate->didCompleteWithError(std::move(error));
    }
};

namespace {

class SimulatedAuthorization final : public PasskeyAuthorization {
public:
    SimulatedAuthorization(std::shared_ptr<void> pending, std::function<void()> cancel, std::function<void()> release)
        : m_pending(std::move(pending)), m_cancel(std::move(cancel)), m_release(std::move(release))
    {
    }
    ~SimulatedAuthorization() override { m_release(); }
    void cancel() override { m_cancel(); }

private:
    std::shared_ptr<void> m_pending;
    std::function<void()> m_cancel;
    std::function<void()> m_release;
};

}

SimulatedPasskeyService::SimulatedPasskeyService(MainLoop& loop, Ui& ui, PasskeyAuthenticatorSettings settings)
    : m_loop(loop), m_ui(ui), m_settings(std::move(settings))
{
}

std::string SimulatedPasskeyService::storePath() const
{
    return m_settings.keychainDirectory + "/ferrolatch-platform-passkeys.db";
}

std::vector<StoredPasskey> SimulatedPasskeyService::storedPasskeys() const
{
    SecretBytes file = readSecretFile(storePath());
    if (file.empty())
        return {};
    return decodePasskeyStore(file.bytes());
}

std::unique_ptr<PasskeyAuthorization> SimulatedPasskeyService::performRequest(const PasskeyRequest& request,
                                                                              PasskeyAuthorizationDelegate& delegate)
{
    auto pending = std::make_shared<Pending>();
    pending->request = request;
    pending->delegate = &delegate;

    m_loop.post([this, pending] {
        if (!pending->alive || pending->cancelled)
            return;
        answer(*pending);
    });

    auto cancel = [this, pending] {
        if (pending->answered || pending->cancelled)
            return;
        pending->cancelled = true;
        if (pending->sheetShowing) {
            m_ui.abortModal(); // the sheet's own path then reports the cancellation
            return;
        }
        m_loop.post([pending] { pending->deliver(std::make_exception_ptr(authorizationCanceledError())); });
    };
    auto release = [pending] { pending->alive = false; };
    return std::make_unique<SimulatedAuthorization>(pending, cancel, release);
}

void SimulatedPasskeyService::answer(Pending& pending)
{
    try {
        pending.delegate->presentationAnchor();
        const std::string& relyingParty = relyingPartyOf(pending.request);
        if (!associated(relyingParty))
            throw notAssociatedError(m_settings.applicationIdentifier, relyingParty);

        if (auto* registration = std::get_if<PasskeyRegistrationRequest>(&pending.request)) {
            if (!approvedBySheet(pending, relyingParty, true, registration->name))
                throw authorizationCanceledError();
            pending.deliver(registerPasskey(*registration));
            return;
        }

        const auto& assertion = std::get<PasskeyAssertionRequest>(pending.request);
        std::vector<StoredPasskey> passkeys = storedPasskeys();
        auto found = std::find_if(passkeys.begin(), passkeys.end(), [&](const StoredPasskey& passkey) {
            if (passkey.relyingParty != relyingParty)
                return false;
            return assertion.allowedCredentials.empty()
                || std::find(assertion.allowedCredentials.begin(), assertion.allowedCredentials.end(),
                             passkey.credentialID)
                != assertion.allowedCredentials.end();
        });
        if (found == passkeys.end())
            throw noCredentialsError();
        if (!approvedBySheet(pending, relyingParty, false, found->userName))
            throw authorizationCanceledError();
        pending.deliver(assertPasskey(assertion, *found));
    } catch (...) {
        pending.deliver(std::current_exception());
    }
}

bool SimulatedPasskeyService::approvedBySheet(Pending& pending, const std::string& relyingParty, bool registration,
                                              const std::string& userName)
{
    Alert sheet;
    sheet.style = AlertStyle::Informational;
    if (registration) {
        sheet.messageText = "Create a passkey for " + relyingParty;
        sheet.informativeText = "A passkey for “" + userName
            + "” will be saved in your iCloud Keychain. Confirm with your login password or Touch ID.";
    } else {
        sheet.messageText = "Sign in to " + relyingParty + " with your passkey";
        sheet.informativeText = "Use the passkey for “" + userName
            + "” saved in your iCloud Keychain. Confirm with your login password or Touch ID.";
    }
    sheet.buttons = {{"Continue"}, {"Cancel"}};

    pending.sheetShowing = true;
    long response = alertAbortedResponse;
    try {
        response = m_ui.runModal(sheet);
    } catch (...) {
        pending.sheetShowing = false;
        throw;
    }
    pending.sheetShowing = false;
    return response == alertFirstButtonReturn && !pending.cancelled;
}

bool SimulatedPasskeyService::associated(const std::string& relyingParty) const
{
    return entitlementsAssociateWebCredentials(m_settings.entitlementsPath, relyingParty);
}

PasskeyCredential SimulatedPasskeyService::registerPasskey(const PasskeyRegistrationRequest& request)
{
    StoredPasskey passkey;
    passkey.credentialID = randomIdentifier(20);
    passkey.relyingParty = request.relyingPartyIdentifier;
    passkey.userHandle = request.userID;
    passkey.userName = request.name;
    passkey.secret = randomSecret(32);

    PasskeyCredential credential;
    credential.kind = PasskeyCredential::Kind::PlatformRegistration;
    credential.credentialID = passkey.credentialID;
    if (request.prf)
        credential.prf = evaluatePrf(passkey.secret, *request.prf);

    ::mkdir(m_settings.keychainDirectory.c_str(), 0700); // present on an initialised virtual Mac
    RecordLock lock(storePath());
    std::vector<StoredPasskey> passkeys = storedPasskeys();
    passkeys.push_back(std::move(passkey));
    writeSecretFileAtomically(storePath(), encodePasskeyStore(passkeys));
    return credential;
}

PasskeyCredential SimulatedPasskeyService::assertPasskey(const PasskeyAssertionRequest& request,
                                                         const StoredPasskey& passkey)
{
    PasskeyCredential credential;
    credential.kind = PasskeyCredential::Kind::PlatformAssertion;
    credential.credentialID = passkey.credentialID;
    auto input = request.perCredentialPrfInputValues.find(passkey.credentialID);
    if (input != request.perCredentialPrfInputValues.end())
        credential.prf = evaluatePrf(passkey.secret, input->second);
    return credential;
}

}
