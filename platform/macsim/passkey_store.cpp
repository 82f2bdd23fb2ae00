#include "platform/macsim/passkey_store.h"

#include "common/errors.h"
#include "common/hex.h"

#include <openssl/hmac.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <string_view>

namespace ferrolatch {

namespace {

constexpr std::string_view header = "ferrolatch-macsim-passkeys 1\n";

void appendHex(SecretBytes& out, std::size_t& at, std::span<const std::uint8_t> bytes)
{
    for (std::uint8_t byte : bytes)
        for (char digit : hexDigitsOf(byte))
            out.data()[at++] = static_cast<std::uint8_t>(digit);
}

void appendText(SecretBytes& out, std::size_t& at, std::string_view text)
{
    for (char c : text)
        out.data()[at++] = static_cast<std::uint8_t>(c);
}

int hexValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool decodeHex(std::span<const std::uint8_t> text, std::uint8_t* out)
{
    if (text.size() % 2 != 0)
        return false;
    for (std::size_t index = 0; index < text.size(); index += 2) {
        int high = hexValue(text[index]);
        int low = hexValue(text[index + 1]);
        if (high < 0 || low < 0)
            return false;
        out[index / 2] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::span<const std::uint8_t> asBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool plainText(std::span<const std::uint8_t> text)
{
    for (std::uint8_t c : text)
        if (c == '\t' || c == '\n' || c == '\r' || c == 0)
            return false;
    return true;
}

}

SecretBytes encodePasskeyStore(const std::vector<StoredPasskey>& passkeys)
{
    // A line the decoder would refuse makes every credential in the file unreadable.
    for (const StoredPasskey& passkey : passkeys) {
        if (passkey.credentialID.empty() || passkey.relyingParty.empty() || !plainText(asBytes(passkey.relyingParty))
            || !plainText(asBytes(passkey.userName)) || passkey.secret.size() != 32)
            throw ProofError("the passkey store of the virtual Mac cannot hold a passkey it could not read back");
    }
    std::size_t size = header.size();
    for (const StoredPasskey& passkey : passkeys)
        size += 2 * passkey.credentialID.size() + passkey.relyingParty.size() + 2 * passkey.userHandle.size()
            + passkey.userName.size() + 2 * passkey.secret.size() + 5;
    SecretBytes out(size);
    std::size_t at = 0;
    appendText(out, at, header);
    for (const StoredPasskey& passkey : passkeys) {
        appendHex(out, at, passkey.credentialID);
        appendText(out, at, "\t");
        appendText(out, at, passkey.relyingParty);
        appendText(out, at, "\t");
        appendHex(out, at, passkey.userHandle);
        appendText(out, at, "\t");
        appendText(out, at, passkey.userName);
        appendText(out, at, "\t");
        appendHex(out, at, passkey.secret.bytes());
        appendText(out, at, "\n");
    }
    return out;
}

std::vector<StoredPasskey> decodePasskeyStore(std::span<const std::uint8_t> file)
{
    std::string_view start(reinterpret_cast<const char*>(file.data()), std::min(file.size(), header.size()));
    if (start != header)
        throw ProofError("the passkey store of the virtual Mac has an unknown format");

    std::vector<StoredPasskey> passkeys;
    std::size_t at = header.size();
    std::size_t lineNumber = 1;
    while (at < file.size()) {
        ++lineNumber;
        std::size_t end = at;
        while (end < file.size() && file[end] != '\n')
            ++end;
        if (end == file.size())
            throw ProofError("the passkey store of the virtual Mac is truncated at line " + std::to_string(lineNumber));
        std::span<const std::uint8_t> line = file.subspan(at, end - at);
        at = end + 1;

        std::vector<std::span<const std::uint8_t>> fields;
        std::size_t fieldStart = 0;
        for (std::size_t index = 0; index <= line.size(); ++index) {
            if (index == line.size() || line[index] == '\t') {
                fields.push_back(line.subspan(fieldStart, index - fieldStart));
                fieldStart = index + 1;
            }
        }
        auto damaged = [&] {
            return ProofError("the passkey store of the virtual Mac is damaged at line " + std::to_string(lineNumber));
        };
        if (fields.size() != 5 || fields[0].empty() || fields[1].empty() || !plainText(fields[1])
            || !plainText(fields[3]))
            throw damaged();

        StoredPasskey passkey;
        passkey.credentialID.resize(fields[0].size() / 2);
        passkey.userHandle.resize(fields[2].size() / 2);
        passkey.secret = SecretBytes(fields[4].size() / 2);
        if (!decodeHex(fields[0], passkey.credentialID.data()) || !decodeHex(fields[2], passkey.userHandle.data())
            || !decodeHex(fields[4], passkey.secret.data()) || passkey.secret.size() != 32)
            throw damaged();
        passkey.relyingParty.assign(reinterpret_cast<const char*>(fields[1].data()), fields[1].size());
        passkey.userName.assign(reinterpret_cast<const char*>(fields[3].data()), fields[3].size());
        passkeys.push_back(std::move(passkey));
    }
    return passkeys;
}

SecretBytes passkeyPrf(const SecretBytes& secret, std::span<const std::uint8_t> salt)
{
    constexpr std::string_view label = "WebAuthn PRF";
    std::vector<std::uint8_t> message(label.begin(), label.end());
    message.push_back(0);
    message.insert(message.end(), salt.begin(), salt.end());
    std::uint8_t input[SHA256_DIGEST_LENGTH];
    unsigned int digestLength = 0;
    if (!EVP_Digest(message.data(), message.size(), input, &digestLength, EVP_sha256(), nullptr))
        throw PlatformError("com.apple.CryptoKit", 1, "SHA-256 failed");

    SecretBytes output(SHA256_DIGEST_LENGTH);
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), input, sizeof input, output.data(), &length)
        || length != output.size())
        throw PlatformError("com.apple.CryptoKit", 1, "HMAC-SHA-256 failed");
    return output;
}

}
