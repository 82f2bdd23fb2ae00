#pragma once

#include "platform/files.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ferrolatch {

// The non-secret record that ties one protected resource to its passkey.
// Byte values are base64url texts, decoded only where they are used.
struct Manifest {
    std::int64_t version = 0;
    std::string relyingPartyID;
    std::string credentialID;
    std::string prfSalt;
    std::string wrappedPassword;
    std::string createdAt;
    std::optional<std::string> resourceKind;
    std::optional<std::string> volumeUUID;
    std::optional<std::string> volumeName;
    std::optional<std::string> imageName;

    bool operator==(const Manifest&) const = default;
};

// How a manifest that is not JSON, or lacks a required key, or has one of the
// wrong type, is reported: the decoder's own error, naming the key.
inline constexpr const char* manifestDecodeErrorDomain = "NSCocoaErrorDomain";
inline constexpr long manifestValueNotFoundCode = 4865; // a required key is missing or null
inline constexpr long manifestReadCorruptCode = 4864;   // not JSON, or a key of the wrong type

// Sorted keys, pretty-printed, absent optionals left out, no final line feed.
std::string encodeManifest(const Manifest& manifest);
// Strict about the six required keys; the optional four may be absent or null;
// other keys are ignored. No field's content is examined.
Manifest decodeManifest(std::string_view bytes);

// Reads and decodes; no acceptance rule is applied.
Manifest readManifest(Files& files, const std::string& path);
// Enrollments call this before any ceremony or disk change.
void ensureManifestPathFree(Files& files, const std::string& path);
// Replaces whatever is at the path, atomically.
void writeManifest(Files& files, const Manifest& manifest, const std::string& path);
// An enrollment's first write: atomically, and only if the path is still free,
// since a file may have appeared there during the passkey ceremony.
void writeNewManifest(Files& files, const Manifest& manifest, const std::string& path);

// The record an enrollment writes: version 1, the relying party of its kind,
// the base64url text of the salt, the wrapped password, and the kind.
// Callers add the kind's optional fields.
Manifest enrollmentManifest(std::string_view relyingPartyID, std::string credentialText,
                            std::span<const std::uint8_t> prfSalt, std::string wrappedPassword,
                            std::string createdAt, std::string_view resourceKind);

// createdAt: ISO 8601 in UTC with whole seconds, e.g. 2026-01-31T09:15:00Z.
std::string manifestTimestamp(std::chrono::system_clock::time_point time);

}
