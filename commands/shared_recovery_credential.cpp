#include "commands/shared_recovery_credential.h"

#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/utf8.h"
#include "disk/system_tools.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace ferrolatch {

namespace {

constexpr double waitSlice = 0.1; // seconds

// The service's answer. The waiter and the completion share it: the answer
// may come after the waiter has given up.
struct SharedCredentialAnswer {
    bool finished = false;
    OSStatus status = 0;
    std::optional<std::string> errorDescription;
};

// Turns the main loop for one slice, or less when the answer comes first.
void runLoopSlice(MainLoop& loop, const SharedCredentialAnswer& answer)
{
    auto sliceOver = std::make_shared<bool>(false);
    std::shared_ptr<DelayedTask> timer = loop.postAfter(waitSlice, [sliceOver] { *sliceOver = true; });
    auto cancel = atScopeExit([&timer] { timer->cancel(); });
    loop.runUntil([&] { return *sliceOver || answer.finished; });
}

// Asks the service, whose answer reaches `answer` on the main loop, never
// inside the call and whatever thread the service answers on. A service that
// refuses the request outright answers the same way, with its refusal.
void requestSharedCredential(MainLoop& loop, Keychain& keychain, const SecretBytes& password,
                             const std::string& account, const std::shared_ptr<SharedCredentialAnswer>& answer)
{
    auto onMainLoop = [&loop, answer](OSStatus status, std::optional<std::string> description) {
        loop.post([answer, status, description = std::move(description)] {
            answer->status = status;
            answer->errorDescription = description;
            answer->finished = true;
        });
    };
    try {
        keychain.addSharedWebCredential(std::string(recoveryCredentialDomain), account, password, onMainLoop);
    } catch (const std::exception& refusal) {
        onMainLoop(errSecNotAvailable, std::string(refusal.what()));
    }
}

}

void addSharedRecoveryCredential(MainLoop& loop, Keychain& keychain, const SecretBytes& password,
                                 const std::string& account)
{
    std::string_view text(reinterpret_cast<const char*>(password.data()), password.size());
    if (!isValidUTF8(text))
        throw ProofError("recovery password was not valid UTF-8");
    // The system's service takes the password as C text, which ends at the
    // first NUL; a shorter password must never be saved in place of the real one.
    if (text.find('\0') != std::string_view::npos)
        throw ProofError("recovery password contains a NUL character");

    auto answer = std::make_shared<SharedCredentialAnswer>();
    requestSharedCredential(loop, keychain, password, account, answer);

    Clock& clock = loop.clock();
    const double deadline = clock.now() + ceremonyTimeout;
    while (!answer->finished) {
        if (!(clock.now() < deadline))
            throw ProofError("Passwords shared-credential request timed out");
        runLoopSlice(loop, *answer);
    }

    // An empty description says no more than none.
    if (answer->status != 0)
        throw ProofError("Passwords rejected the shared recovery credential: "
                         + (answer->errorDescription && !answer->errorDescription->empty()
                                ? *answer->errorDescription
                                : "CFError code " + std::to_string(answer->status)));
}

void openPasswordsDisregardingFailure(ToolRunner& tools)
{
    disregardingFailure([&] { runTool(tools, tools::open, {"-a", "Passwords"}); });
}

}
