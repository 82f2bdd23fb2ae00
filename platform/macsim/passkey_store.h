#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ferrolatch {

// One platform passkey the virtual Mac holds for a relying party.
struct StoredPasskey {
    std::vector<std::uint8_t> credentialID;
    std::string relyingParty;
    std::vector<std::uint8_t> userHandle;
    std::string userName;
    SecretBytes secret; // 32 bytes; the PRF is keyed with it
};

// The file form: a header line, then one line per credential with tab-separated
// fields (hex identifier, relying party, hex user handle, user name, hex secret).
// The whole file is held as a secret because it carries every credential's key.
// A passkey the decoder would refuse (an empty identifier or relying party, a
// tab or line break in a text, a secret of another length) fails with a
// ProofError instead of being written.
SecretBytes encodePasskeyStore(const std::vector<StoredPasskey>& passkeys);
// Fails with a ProofError naming the first damaged line.
std::vector<StoredPasskey> decodePasskeyStore(std::span<const std::uint8_t> file);

// The platform's PRF: HMAC-SHA-256(secret, SHA-256("WebAuthn PRF" || 0x00 || salt)).
SecretBytes passkeyPrf(const SecretBytes& secret, std::span<const std::uint8_t> salt);

}
