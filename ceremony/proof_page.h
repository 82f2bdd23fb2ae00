#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The texts the page shows, by mode; tests and the server share them.
struct ProofPageTexts {
    std::string_view title;         // also the h1 heading
    std::string_view buttonText;
    std::string_view runningStatus; // the first status while the ceremony runs
};
ProofPageTexts proofPageTexts(std::string_view mode);

inline constexpr std::string_view proofPageIntroduction =
    "This is a local-only Ferrolatch experiment. Safari will use an iCloud Keychain passkey and return a PRF result "
    "to the helper listening on this Mac.";
inline constexpr std::string_view proofPageWaitingStatus = "Waiting for you.";
inline constexpr std::string_view proofPageSecondConfirmationStatus =
    "Passkey created. Confirm once more to produce the PRF output…";
inline constexpr std::string_view proofPageCompletingStatus = "Passkey confirmed. Completing the local proof…";
inline constexpr std::string_view proofPageStoppedPrefix = "Proof stopped: ";
inline constexpr std::string_view proofPageNoWebAuthn = "This browser does not expose WebAuthn platform credentials.";
inline constexpr std::string_view proofPageNoPlatformAuthenticator =
    "No user-verifying platform authenticator is available.";
inline constexpr std::string_view proofPageNoPRF = "The selected passkey did not return a PRF result.";

// True for non-empty text of only A-Z a-z 0-9 - _: what may stand between the
// double quotes of the page's script without any escaping.
bool isBase64URLText(std::string_view text);

// The self-contained page of one ceremony. Every inserted value must already
// be base64url text (the caller checks the one that comes from a file); the
// mode picks the texts and the script's path.
std::string proofPage(std::string_view mode, std::string_view token, std::string_view userID, std::string_view salt,
                      const std::optional<std::string>& existingCredential);

}
