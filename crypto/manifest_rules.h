#pragma once

#include "crypto/manifest.h"
#include "platform/files.h"

#include <string>
#include <string_view>

namespace ferrolatch {

// Each reader accepts only its own kind of manifest, right after decoding and
// before any other work. Every acceptor returns the manifest it was given or
// fails with its reader's ProofError. Comparisons are exact and case-sensitive.

inline constexpr std::string_view nativeVolumeKind = "native-apfs-volume";
inline constexpr std::string_view pendingNativeVolumeKind = "native-apfs-volume-pending";
inline constexpr std::string_view nativeImageKind = "native-disk-image";
inline constexpr std::string_view nativeSparsebundleKind = "native-sparsebundle";
inline constexpr std::string_view browserImageKind = "disk-image";
inline constexpr std::string_view browserVolumeKind = "apfs-volume";

// native-unlock-volume, mount-drive, lock-drive, restore-drive, the native
// recovery commands and the agent.
Manifest loadNativeVolumeManifest(Files& files, const std::string& path);
Manifest acceptNativeVolumeManifest(Manifest manifest);

// unlock-volume.
Manifest acceptBrowserVolumeManifest(Manifest manifest);
// store-recovery, share-recovery, copy-recovery: a browser volume with its name.
Manifest acceptBrowserRecoveryManifest(Manifest manifest);
// native-unlock.
Manifest acceptNativeImageManifest(Manifest manifest);
// native-unlock-bundle, native-mount-bundle.
Manifest acceptNativeSparsebundleManifest(Manifest manifest);
// unlock, which does not look at the kind.
Manifest acceptBrowserImageManifest(Manifest manifest);
// The credential source of native-enroll-bundle: any native kind.
Manifest acceptNativeCredentialManifest(Manifest manifest);
// The credential source of enroll-volume: any browser kind.
Manifest acceptBrowserCredentialManifest(Manifest manifest);

// The registry's test: a native volume whose UUID is well formed
// (canonicalVolumeUUID accepts it); the name is not required.
bool isRegistrableManifest(const Manifest& manifest);
Manifest acceptRegistrableManifest(Manifest manifest);

}
