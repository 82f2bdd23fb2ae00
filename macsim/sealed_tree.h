#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace macsim {

using ferrolatch::SecretBytes;

// A volume or image key wrapped under a password. The password is checked
// only by the AES-GCM tag of the wrapped key: nothing derived from it is stored
// in a comparable form.
struct Keybag {
    std::string salt;   // hex
    std::uint32_t iterations = 0;
    std::string nonce;  // hex
    std::string wrapped; // hex, ciphertext followed by the tag
};

inline constexpr std::size_t volumeKeySize = 32; // AES-256

SecretBytes newVolumeKey();
Keybag wrapKey(const SecretBytes& key, const SecretBytes& password, std::string_view context);
// Empty when the password does not open the keybag.
std::optional<SecretBytes> unwrapKey(const Keybag& keybag, const SecretBytes& password, std::string_view context);

// A directory tree (contents, modes, times, symbolic links, user extended
// attributes, the directory's own mode included) encrypted into one file under
// the key; context is bound as associated data.
// A prefix (an image header) may precede the sealed bytes in the file.
void sealTree(const std::string& directory, const SecretBytes& key, std::string_view context, const std::string& output,
    const std::string& prefix = {});
// Recreates the tree at directory, which must not exist. Fails, leaving
// nothing behind, when the key or context is wrong or the file was altered.
void openTree(const std::string& sealed, const SecretBytes& key, std::string_view context, const std::string& directory,
    std::uint64_t offset = 0);

}
