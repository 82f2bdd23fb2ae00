#pragma once

#include "common/secret_bytes.h"
#include "platform/main_loop.h"
#include "platform/passkey_service.h"
#include "platform/ui.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace ferrolatch {

struct Manifest;

// What a native ceremony yields: the answering credential and its first PRF
// result for the salt.
struct NativeReply {
    Bytes credentialID;
    SecretBytes prfOutput;
};

// One passkey ceremony through the platform passkey service, waited for by
// nesting the main loop with a fixed time limit. Registers a new passkey in
// mode "enroll"; asserts with the given credential in any other mode. Runs on
// the main thread only; make a new object for each caller.
class NativePasskeyCeremony final : public PasskeyAuthorizationDelegate {
public:
    using RandomSource = std::function<SecretBytes(std::size_t)>;

    NativePasskeyCeremony(MainLoop& loop, Ui& ui, PasskeyService& passkeys, RandomSource random = {});
    ~NativePasskeyCeremony() override;
    NativePasskeyCeremony(const NativePasskeyCeremony&) = delete;
    NativePasskeyCeremony& operator=(const NativePasskeyCeremony&) = delete;

    NativeReply run(std::string_view mode, std::span<const std::uint8_t> prfSalt,
                    const std::optional<Bytes>& credentialID);

    Window& presentationAnchor() override { return *window; }
    void didCompleteWithAuthorization(PasskeyCredential credential) override;
    void didCompleteWithError(std::exception_ptr error) override;

private:
    using Outcome = std::variant<NativeReply, std::exception_ptr>;
    void finish(Outcome outcome);
    void timedOut();

    MainLoop& m_loop;
    Ui& m_ui;
    PasskeyService& m_passkeys;
    RandomSource m_random;
    // What the timer holds weakly: a released ceremony is never touched by it.
    std::shared_ptr<NativePasskeyCeremony*> m_self;

    std::optional<Outcome> result; // absent while pending
    std::unique_ptr<PasskeyAuthorization> authorizationController;
    std::shared_ptr<DelayedTask> timeoutTimer;
    std::unique_ptr<Window> window;
};

// A new ceremony in mode "unlock" for credentialID, whose answer must come from
// that very credential: another one would open nothing or the wrong thing.
NativeReply assertNativeCredential(MainLoop& loop, Ui& ui, PasskeyService& passkeys,
                                   std::span<const std::uint8_t> prfSalt, const Bytes& credentialID);

// The volume password of a native volume manifest, after the user approves the
// passkey. Malformed manifest fields fail before any prompt. Callers wipe the
// result once they have handed it on.
SecretBytes unwrapPasswordWithPasskey(MainLoop& loop, Ui& ui, PasskeyService& passkeys, const Manifest& manifest);

}
