#pragma once

#include "common/build_config.h"

#include <string_view>

// Program-wide constants, fixed before any command runs.
namespace ferrolatch {

inline constexpr int protocolVersion = 1;
inline constexpr std::string_view relyingPartyDomain = build::relyingPartyDomain;
inline constexpr std::string_view recoveryCredentialDomain = build::relyingPartyDomain;
inline constexpr std::string_view localRelyingPartyID = "localhost";
inline constexpr std::string_view proofMarkerText = "Ferrolatch passkey unwrap proof\n";
inline constexpr std::string_view proofMarkerName = ".ferrolatch-proof";
inline constexpr std::string_view legacyProofMarkerName = "FERROLATCH-USB-PROOF.txt";
inline constexpr double ceremonyTimeout = 300.0; // seconds

// The system APFS agent and its per-volume preference.
inline constexpr std::string_view apfsUserAgentDomain = "com.apple.APFSUserAgent";
inline constexpr std::string_view apfsUserAgentPreferenceValue = "DontUnlockVolume";
inline constexpr std::string_view apfsUserAgentSuppressUntil = "2999-01-01 00:00:00";
inline constexpr std::string_view apfsUserAgentPath = "/System/Library/CoreServices/APFSUserAgent";

inline constexpr std::string_view passwordsAppIdentifier = "com.apple.Passwords";

}
