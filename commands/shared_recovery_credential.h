#pragma once

#include "common/secret_bytes.h"
#include "platform/keychain.h"
#include "platform/main_loop.h"
#include "platform/tool_runner.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ferrolatch {

// The asynchronous answer of the shared-web-credential service, carried to
// the waiting command. Written only by the completion and read only by the
// waiter, both on the main thread.
struct SharedCredentialResultBox {
    bool finished = false;
    OSStatus status = 0;
    std::optional<std::string> errorDescription;
    // Set by a waiter that gave up: the box then belongs to the completion
    // still to come, which frees it instead of filling it in.
    bool abandoned = false;
};

}

extern "C" {

// The completion handed through the C function: status, the service's
// description or null (valid during the call only), and the caller's context.
typedef void (*FLSharedWebCredentialCompletion)(std::int32_t status, const char* description, void* context);

// The services the C function reaches: where the request goes and the main
// loop its answer is moved to.
struct FLSharedWebCredentialServices {
    ferrolatch::Keychain* keychain;
    ferrolatch::MainLoop* mainLoop;
};

// Asks the shared-web-credential service to save the password for domain and
// account. Whatever thread the service answers on, the completion runs on the
// main loop, once. A service that refuses the request outright answers the
// same way, with its refusal as the description.
void FLAddSharedWebCredential(FLSharedWebCredentialServices* services, const char* domain, const char* account,
                              const char* password, FLSharedWebCredentialCompletion completion, void* context);

// Fills in the SharedCredentialResultBox the context points to (finished
// last); frees a box its waiter abandoned; ignores a null context.
void sharedCredentialCompletion(std::int32_t status, const char* description, void* context);
}

namespace ferrolatch {

// Offers the password to the shared-web-credential service for the recovery
// domain and waits for the user's answer on the main loop, in slices of 0.1
// seconds, at most the ceremony's timeout.
void addSharedRecoveryCredential(MainLoop& loop, Keychain& keychain, const SecretBytes& password,
                                 const std::string& account);

// How the recovery commands end once their result is printed: Passwords is
// asked to open, and a failure to open it changes nothing.
void openPasswordsDisregardingFailure(ToolRunner& tools);

}
