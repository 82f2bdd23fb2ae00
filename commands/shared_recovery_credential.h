#pragma once

#include "common/secret_bytes.h"
#include "platform/keychain.h"
#include "platform/main_loop.h"
#include "platform/tool_runner.h"

#include <string>

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
