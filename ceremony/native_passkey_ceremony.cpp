#include "ceremony/native_passkey_ceremony.h"

#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"

#include <algorithm>

namespace ferrolatch {

namespace {

constexpr std::size_t challengeSize = 32;
constexpr std::size_t userIDSize = 32;

Bytes bytesOf(const SecretBytes& secret) { return Bytes(secret.bytes().begin(), secret.bytes().end()); }

}

NativePasskeyCeremony::NativePasskeyCeremony(MainLoop& loop, Ui& ui, PasskeyService& passkeys, RandomSource random)
    : m_loop(loop)
    , m_ui(ui)
    , m_passkeys(passkeys)
    , m_random(random ? std::move(random) : RandomSource([](std::size_t count) { return randomBytes(count); }))
    , m_self(std::make_shared<NativePasskeyCeremony*>(this))
{
    window = m_ui.createWindow({"Ferrolatch", {460, 180}, true, true});
}

NativePasskeyCeremony::~NativePasskeyCeremony()
{
    if (timeoutTimer)
        timeoutTimer->cancel();
}

NativeReply NativePasskeyCeremony::run(std::string_view mode, std::span<const std::uint8_t> prfSalt,
                                       const std::optional<Bytes>& credentialID)
{
    result.reset();
    // Leaving run returns the ceremony to idle whichever way it leaves.
    // Hiding the anchor never decides the outcome; the run's own result stands.
    auto idle = atScopeExit([this] {
        if (timeoutTimer)
            timeoutTimer->cancel();
        timeoutTimer.reset();
        authorizationController.reset();
        window->orderOut();
    });

    m_ui.prepareApplication();
    window->makeKeyAndOrderFront();
    m_ui.activate();

    std::string relyingParty(relyingPartyDomain);
    Bytes challenge = bytesOf(m_random(challengeSize));
    PrfInputValues prf {Bytes(prfSalt.begin(), prfSalt.end()), std::nullopt};

    PasskeyRequest request;
    if (mode == "enroll") {
        PasskeyRegistrationRequest registration;
        registration.relyingPartyIdentifier = relyingParty;
        registration.challenge = std::move(challenge);
        registration.userID = bytesOf(m_random(userIDSize));
        registration.name = "Ferrolatch";
        registration.displayName = "Ferrolatch disk unlock";
        registration.userVerification = UserVerification::Required;
        registration.prf = std::move(prf);
        request = std::move(registration);
    } else {
        if (!credentialID)
            throw ProofError("native assertion requires a credential identifier");
        PasskeyAssertionRequest assertion;
        assertion.relyingPartyIdentifier = relyingParty;
        assertion.challenge = std::move(challenge);
        assertion.allowedCredentials = {*credentialID};
        assertion.userVerification = UserVerification::Required;
        assertion.perCredentialPrfInputValues[*credentialID] = std::move(prf);
        request = std::move(assertion);
    }

    authorizationController = m_passkeys.performRequest(request, *this);

    std::weak_ptr<NativePasskeyCeremony*> weak = m_self;
    timeoutTimer = m_loop.postAfter(ceremonyTimeout, [weak] {
        if (auto self = weak.lock())
            (*self)->timedOut();
    });

    while (!result)
        m_loop.run();

    Outcome outcome = std::move(*result);
    if (auto* error = std::get_if<std::exception_ptr>(&outcome))
        std::rethrow_exception(*error);
    return std::move(std::get<NativeReply>(outcome));
}

void NativePasskeyCeremony::didCompleteWithAuthorization(PasskeyCredential credential)
{
    switch (credential.kind) {
    case PasskeyCredential::Kind::PlatformRegistration:
        if (!credential.prf || !credential.prf->first)
            return finish(std::make_exception_ptr(ProofError("new native passkey returned no PRF output")));
        return finish(NativeReply {std::move(credential.credentialID), std::move(*credential.prf->first)});
    case PasskeyCredential::Kind::PlatformAssertion:
        // An assertion's PRF output always carries its first result; treat a
        // missing one like a missing output rather than returning no key.
        if (!credential.prf || !credential.prf->first)
            return finish(std::make_exception_ptr(ProofError("native passkey assertion returned no PRF output")));
        return finish(NativeReply {std::move(credential.credentialID), std::move(*credential.prf->first)});
    case PasskeyCredential::Kind::Other:
        break;
    }
    finish(std::make_exception_ptr(ProofError("native passkey ceremony returned an unexpected credential type")));
}

void NativePasskeyCeremony::didCompleteWithError(std::exception_ptr error)
{
    finish(std::move(error));
}

void NativePasskeyCeremony::timedOut()
{
    if (result)
        return;
    // The service may answer the cancellation at once; that answer then stands.
    if (authorizationController)
        authorizationController->cancel();
    finish(std::make_exception_ptr(ProofError("native passkey ceremony timed out")));
}

void NativePasskeyCeremony::finish(Outcome outcome)
{
    if (result)
        return; // the first of completion, failure and time-out wins
    result = std::move(outcome);
    m_loop.stop();
    m_loop.post([] {}); // wakes the loop so that it notices the stop
}

NativeReply assertNativeCredential(MainLoop& loop, Ui& ui, PasskeyService& passkeys,
                                   std::span<const std::uint8_t> prfSalt, const Bytes& credentialID)
{
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    NativeReply reply = ceremony.run("unlock", prfSalt, credentialID);
    if (reply.credentialID != credentialID)
        throw ProofError("native passkey ceremony returned a different credential");
    return reply;
}

SecretBytes unwrapPasswordWithPasskey(MainLoop& loop, Ui& ui, PasskeyService& passkeys, const Manifest& manifest)
{
    auto decode = [](const std::string& text) {
        auto bytes = base64URLDecode(text);
        if (!bytes)
            throw ProofError(malformedBase64URLMessage);
        return std::move(*bytes);
    };
    Bytes salt = decode(manifest.prfSalt);
    decode(manifest.wrappedPassword); // opened after the prompt, but checked before it
    Bytes credential = decode(manifest.credentialID);

    NativeReply reply = assertNativeCredential(loop, ui, passkeys, salt, credential);
    return openWrappedPassword(manifest, reply.prfOutput, relyingPartyDomain);
}

}
