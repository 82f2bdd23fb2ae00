#include "crypto/manifest.h"

#include "common/constants.h"
#include "crypto/base64url.h"
#include "crypto/pretty_json.h"
#include "common/errors.h"
#include "common/json_bounds.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace ferrolatch {

namespace {

using Json = nlohmann::json;

PlatformError valueNotFound(std::string_view key)
{
    return PlatformError(manifestDecodeErrorDomain, manifestValueNotFoundCode,
                         "The data couldn’t be read because it is missing: no value for key \"" + std::string(key)
                             + "\".");
}

PlatformError readCorrupt(const std::string& reason)
{
    return PlatformError(manifestDecodeErrorDomain, manifestReadCorruptCode,
                         "The data couldn’t be read because it isn’t in the correct format: " + reason + ".");
}

const char* typeName(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::object: return "a dictionary";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    default: return "null";
    }
}

PlatformError typeMismatch(std::string_view key, const char* expected, const Json& found)
{
    return readCorrupt("expected " + std::string(expected) + " for key \"" + std::string(key) + "\" but found "
                       + typeName(found));
}

const Json* requiredValue(const Json& object, std::string_view key)
{
    auto member = object.find(key);
    if (member == object.end() || member->is_null())
        throw valueNotFound(key);
    return &*member;
}

std::string requiredString(const Json& object, std::string_view key)
{
    const Json* value = requiredValue(object, key);
    if (!value->is_string())
        throw typeMismatch(key, "a string", *value);
    return value->get<std::string>();
}

std::optional<std::string> optionalString(const Json& object, std::string_view key)
{
    auto member = object.find(key);
    if (member == object.end() || member->is_null())
        return std::nullopt;
    if (!member->is_string())
        throw typeMismatch(key, "a string", *member);
    return member->get<std::string>();
}

// A whole number in any JSON spelling (1, 1.0, 1e0) that fits, as the Mac's
// decoder reads an integer.
std::int64_t requiredInteger(const Json& object, std::string_view key)
{
    const Json* value = requiredValue(object, key);
    // Asked first: is_number_integer() is also true of an unsigned value, which
    // get<std::int64_t>() would wrap to a negative number.
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(number);
    } else if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        double number = value->get<double>();
        if (number == std::floor(number) && number >= -9223372036854775808.0 && number < 9223372036854775808.0)
            return static_cast<std::int64_t>(number);
    }
    throw typeMismatch(key, "an integer", *value);
}

}

std::string encodeManifest(const Manifest& manifest)
{
    Json object = Json::object();
    object["version"] = manifest.version;
    object["relyingPartyID"] = manifest.relyingPartyID;
    object["credentialID"] = manifest.credentialID;
    object["prfSalt"] = manifest.prfSalt;
    object["wrappedPassword"] = manifest.wrappedPassword;
    object["createdAt"] = manifest.createdAt;
    auto optional = [&](const char* key, const std::optional<std::string>& value) {
        if (value)
            object[key] = *value;
    };
    optional("resourceKind", manifest.resourceKind);
    optional("volumeUUID", manifest.volumeUUID);
    optional("volumeName", manifest.volumeName);
    optional("imageName", manifest.imageName);
    return encodePrettyJSON(object);
}

Manifest decodeManifest(std::string_view bytes)
{
    // Checked before decoding: the decoder's memory grows with size and depth.
    if (bytes.size() > outsideJSONByteLimit)
        throw ProofError("manifest is larger than 64 KiB");
    if (jsonNestsDeeperThan(bytes, outsideJSONDepthLimit))
        throw ProofError("manifest is nested more than 32 levels deep");
    Json object = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded())
        throw readCorrupt("the given data was not valid JSON");
    if (!object.is_object())
        throw readCorrupt(std::string("expected a dictionary but found ") + typeName(object));

    Manifest manifest;
    manifest.version = requiredInteger(object, "version");
    manifest.relyingPartyID = requiredString(object, "relyingPartyID");
    manifest.credentialID = requiredString(object, "credentialID");
    manifest.prfSalt = requiredString(object, "prfSalt");
    manifest.wrappedPassword = requiredString(object, "wrappedPassword");
    manifest.createdAt = requiredString(object, "createdAt");
    manifest.resourceKind = optionalString(object, "resourceKind");
    manifest.volumeUUID = optionalString(object, "volumeUUID");
    manifest.volumeName = optionalString(object, "volumeName");
    manifest.imageName = optionalString(object, "imageName");
    return manifest;
}

Manifest readManifest(Files& files, const std::string& path)
{
    // A manifest may come from any inserted drive: a huge or sparse file there
    // is never read whole.
    return decodeManifest(files.readFileAtMost(path, outsideJSONByteLimit));
}

void ensureManifestPathFree(Files& files, const std::string& path)
{
    if (files.exists(path))
        throw ProofError("refusing to replace existing manifest at " + path);
}

void writeManifest(Files& files, const Manifest& manifest, const std::string& path)
{
    files.writeFileAtomically(path, encodeManifest(manifest));
}

void writeNewManifest(Files& files, const Manifest& manifest, const std::string& path)
{
    try {
        files.writeNewFileAtomically(path, encodeManifest(manifest));
    } catch (const PlatformError& error) {
        if (error.is(posixErrorDomain, EEXIST))
            throw ProofError("refusing to replace existing manifest at " + path);
        throw;
    }
}

std::string manifestTimestamp(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    auto seconds = floor<std::chrono::seconds>(time);
    auto day = floor<days>(seconds);
    year_month_day date {day};
    hh_mm_ss clock {seconds - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

Manifest enrollmentManifest(std::string_view relyingPartyID, std::string credentialText,
                            std::span<const std::uint8_t> prfSalt, std::string wrappedPassword,
                            std::string createdAt, std::string_view resourceKind)
{
    Manifest manifest;
    manifest.version = protocolVersion;
    manifest.relyingPartyID = std::string(relyingPartyID);
    manifest.credentialID = std::move(credentialText);
    manifest.prfSalt = base64URLEncode(prfSalt);
    manifest.wrappedPassword = std::move(wrappedPassword);
    manifest.createdAt = std::move(createdAt);
    manifest.resourceKind = std::string(resourceKind);
    return manifest;
}

}
