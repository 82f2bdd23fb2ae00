#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

struct Manifest;

// Failures of the cipher, reported the way CryptoKit reports them, so callers
// and tests can tell a short box from a failed tag.
inline constexpr const char* cryptoKitErrorDomain = "CryptoKit.CryptoKitError";
inline constexpr long cryptoKitIncorrectKeySize = 0;
inline constexpr long cryptoKitIncorrectParameterSize = 1;
inline constexpr long cryptoKitAuthenticationFailure = 2;
inline constexpr long cryptoKitUnderlyingCryptoError = 3;
inline constexpr const char* incorrectKeySizeDescription = "incorrect key size (CryptoKit.CryptoKitError error 0)";
inline constexpr const char* incorrectParameterSizeDescription =
    "incorrect parameter size (CryptoKit.CryptoKitError error 1)";
inline constexpr const char* authenticationFailureDescription =
    "authentication failure (CryptoKit.CryptoKitError error 2)";

inline constexpr std::string_view wrapKeyInfo = "Ferrolatch APFS password wrap proof v1";
inline constexpr std::string_view wrapAssociatedDataPrefix = "Ferrolatch|proof-v1|";
inline constexpr std::size_t prfSaltSize = 32;
inline constexpr std::size_t sealNonceSize = 12;
inline constexpr std::size_t sealTagSize = 16;

// 256 random bits as 43 base64url characters: the volume password and the
// recovery password at once.
SecretBytes generateVolumePassword();

// HKDF-SHA-256 of the PRF output, salted with the PRF salt: the AES-256 key.
SecretBytes deriveWrappingKey(const SecretBytes& prfOutput, std::span<const std::uint8_t> prfSalt);

// Binds the protocol version, the relying party and the stored credential text.
std::vector<std::uint8_t> wrapAssociatedData(std::string_view relyingPartyID, std::string_view credentialText);

// AES-256-GCM under a fresh nonce; the combined form nonce || ciphertext || tag.
std::vector<std::uint8_t> sealPassword(std::span<const std::uint8_t> plaintext, const SecretBytes& key,
                                       std::span<const std::uint8_t> associatedData);
SecretBytes openPassword(std::span<const std::uint8_t> combined, const SecretBytes& key,
                         std::span<const std::uint8_t> associatedData);

struct NewPasswordWrap {
    SecretBytes password;        // the 43-character volume password
    std::string wrappedPassword; // base64url of the combined form
};

// The enrollment core: a new password sealed for this PRF output, salt,
// relying party and credential.
NewPasswordWrap wrapNewPassword(const SecretBytes& prfOutput, std::span<const std::uint8_t> prfSalt,
                                std::string_view relyingPartyID, std::string_view credentialText);

// The unlock core: the manifest's password, opened with a known PRF output.
SecretBytes openWrappedPassword(const Manifest& manifest, const SecretBytes& prfOutput,
                                std::string_view relyingPartyID);

namespace detail {
SecretBytes hkdfSHA256(std::span<const std::uint8_t> inputKey, std::span<const std::uint8_t> salt,
                       std::span<const std::uint8_t> info, std::size_t length);
// Sealing with a chosen nonce, for known-answer tests; any nonce length GCM allows.
std::vector<std::uint8_t> sealWithNonce(std::span<const std::uint8_t> plaintext, const SecretBytes& key,
                                        std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> associatedData);
}

}
