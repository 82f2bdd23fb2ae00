#include "commands/shared_recovery_credential.h"

#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/utf8.h"
#include "disk/system_tools.h"

#include <algorithm>
#include <cstring>
#include <memory>

extern "C" void FLAddSharedWebCredential(FLSharedWebCredentialServices* services, const char* domain,
                                         const char* account, const char* password,
                                         FLSharedWebCredentialCompletion completion, void* context)
{
    using namespace ferrolatch;
    MainLoop* loop = services->mainLoop;
    // The service may answer on any thread; the box is touched on the main one only.
    auto toMainLoop = [loop, completion, context](OSStatus code, std::optional<std::string> description) {
        loop->post([completion, context, code, description = std::move(description)] {
            completion(code, description ? description->c_str() : nullptr, context);
        });
    };
    try {
        SecretBytes secret = SecretBytes::copyOf(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(password), std::strlen(password)));
        services->keychain->addSharedWebCredential(domain, account, secret, toMainLoop);
    } catch (const std::exception& refusal) {
        // Nothing may unwind through a C caller; the refusal becomes the answer.
        toMainLoop(errSecNotAvailable, std::string(refusal.what()));
    }
}

extern "C" void sharedCredentialCompletion(std::int32_t status, const char* description, void* context)
{
    if (!context)
        return;
    auto* box = static_cast<ferrolatch::SharedCredentialResultBox*>(context);
    if (box->abandoned) {
        delete box;
        return;
    }
    box->status = status;
    if (description)
        box->errorDescription = std::string(description);
    box->finished = true;
}

namespace ferrolatch {

namespace {

constexpr double waitSlice = 0.1; // seconds

// Turns the main loop for one slice, or less when the answer comes first.
void runLoopSlice(MainLoop& loop, const SharedCredentialResultBox& box)
{
    auto sliceOver = std::make_shared<bool>(false);
    std::shared_ptr<DelayedTask> timer = loop.postAfter(waitSlice, [sliceOver] { *sliceOver = true; });
    try {
        loop.runUntil([&] { return *sliceOver || box.finished; });
    } catch (...) {
        timer->cancel();
        throw;
    }
    timer->cancel();
}

}

void addSharedRecoveryCredential(MainLoop& loop, Keychain& keychain, const SecretBytes& password,
                                 const std::string& account)
{
    std::string_view text(reinterpret_cast<const char*>(password.data()), password.size());
    if (!isValidUTF8(text))
        throw ProofError("recovery password was not valid UTF-8");
    // The C hand-off ends the text at the first NUL; a shorter password must
    // never be saved in place of the real one.
    if (text.find('\0') != std::string_view::npos)
        throw ProofError("recovery password contains a NUL character");

    auto box = std::make_unique<SharedCredentialResultBox>();
    {
        SecretBytes terminated(password.size() + 1);
        std::copy(password.bytes().begin(), password.bytes().end(), terminated.data());
        terminated.data()[password.size()] = 0;
        FLSharedWebCredentialServices services {&keychain, &loop};
        std::string domain(recoveryCredentialDomain);
        FLAddSharedWebCredential(&services, domain.c_str(), account.c_str(),
                                 reinterpret_cast<const char*>(terminated.data()), sharedCredentialCompletion,
                                 box.get());
    }

    Clock& clock = loop.clock();
    const double deadline = clock.now() + ceremonyTimeout;
    while (!box->finished) {
        if (!(clock.now() < deadline)) {
            // The answer may still come; it frees the box then.
            SharedCredentialResultBox* pending = box.release();
            pending->abandoned = true;
            throw ProofError("Passwords shared-credential request timed out");
        }
        runLoopSlice(loop, *box);
    }

    // An empty description says no more than none.
    if (box->status != 0)
        throw ProofError("Passwords rejected the shared recovery credential: "
                         + (box->errorDescription && !box->errorDescription->empty()
                                ? *box->errorDescription
                                : "CFError code " + std::to_string(box->status)));
}

void openPasswordsDisregardingFailure(ToolRunner& tools)
{
    disregardingFailure([&] { runTool(tools, tools::open, {"-a", "Passwords"}); });
}

}
