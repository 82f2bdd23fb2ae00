#pragma once

#include "commands/command.h"
#include "platform/platform.h"

namespace ferrolatch {

// Proofs of the passkey wrap on disposable encrypted images, through the
// platform passkey service, and the one longer-lived sparse bundle.
void nativeEnrollCommand(Platform& platform, const CommandArguments& arguments);       // IMAGE MANIFEST
void nativeUnlockCommand(Platform& platform, const CommandArguments& arguments);       // IMAGE MANIFEST
// CREDENTIAL_MANIFEST BUNDLE MANIFEST SIZE VOLUME_NAME
void nativeEnrollBundleCommand(Platform& platform, const CommandArguments& arguments);
void nativeUnlockBundleCommand(Platform& platform, const CommandArguments& arguments); // BUNDLE MANIFEST
void nativeMountBundleCommand(Platform& platform, const CommandArguments& arguments);  // BUNDLE MANIFEST

}
