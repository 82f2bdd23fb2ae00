#include "crypto/password_wrap.h"

#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/random.h"
#include "common/errors.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace ferrolatch {

namespace {

constexpr std::size_t wrappingKeySize = 32;

PlatformError cryptoError(long code)
{
    switch (code) {
    case cryptoKitIncorrectKeySize:
        return PlatformError(cryptoKitErrorDomain, code, incorrectKeySizeDescription);
    case cryptoKitIncorrectParameterSize:
        return PlatformError(cryptoKitErrorDomain, code, incorrectParameterSizeDescription);
    case cryptoKitAuthenticationFailure:
        return PlatformError(cryptoKitErrorDomain, code, authenticationFailureDescription);
    default:
        return PlatformError(cryptoKitErrorDomain, cryptoKitUnderlyingCryptoError,
                             "underlying crypto error (CryptoKit.CryptoKitError error 3)");
    }
}

[[noreturn]] void failUnderlying()
{
    throw cryptoError(cryptoKitUnderlyingCryptoError);
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

struct KdfDeleter {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};

std::span<const std::uint8_t> asBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int checkedLength(std::size_t size)
{
    if (size > static_cast<std::size_t>(INT_MAX))
        throw cryptoError(cryptoKitIncorrectParameterSize);
    return static_cast<int>(size);
}

unsigned char* mutablePointer(std::span<const std::uint8_t> bytes)
{
    return const_cast<unsigned char*>(bytes.data());
}

CipherContext gcmContext(bool encrypt, const SecretBytes& key, std::span<const std::uint8_t> nonce)
{
    if (key.size() != wrappingKeySize)
        throw cryptoError(cryptoKitIncorrectKeySize);
    if (nonce.empty())
        throw cryptoError(cryptoKitIncorrectParameterSize);
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        failUnderlying();
    auto init = encrypt ? EVP_EncryptInit_ex : EVP_DecryptInit_ex;
    if (init(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, checkedLength(nonce.size()), nullptr) != 1
        || init(context.get(), nullptr, nullptr, key.data(), nonce.data()) != 1)
        failUnderlying();
    return context;
}

void addAssociatedData(EVP_CIPHER_CTX* context, bool encrypt, std::span<const std::uint8_t> associatedData)
{
    if (associatedData.empty())
        return;
    int written = 0;
    auto update = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    if (update(context, nullptr, &written, associatedData.data(), checkedLength(associatedData.size())) != 1)
        failUnderlying();
}

}

namespace detail {

SecretBytes hkdfSHA256(std::span<const std::uint8_t> inputKey, std::span<const std::uint8_t> salt,
                       std::span<const std::uint8_t> info, std::size_t length)
{
    std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf)
        failUnderlying();
    std::unique_ptr<EVP_KDF_CTX, KdfDeleter> context(EVP_KDF_CTX_new(kdf.get()));
    if (!context)
        failUnderlying();

    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    std::size_t count = 0;
    params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutablePointer(inputKey), inputKey.size());
    // An absent salt and an empty one are the same to HKDF: a key of zeros.
    if (!salt.empty())
        params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutablePointer(salt), salt.size());
    if (!info.empty())
        params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutablePointer(info), info.size());
    params[count] = OSSL_PARAM_construct_end();

    SecretBytes key(length);
    if (EVP_KDF_derive(context.get(), key.data(), key.size(), params) != 1)
        failUnderlying();
    return key;
}

std::vector<std::uint8_t> sealWithNonce(std::span<const std::uint8_t> plaintext, const SecretBytes& key,
                                        std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> associatedData)
{
    CipherContext context = gcmContext(true, key, nonce);
    addAssociatedData(context.get(), true, associatedData);

    std::vector<std::uint8_t> combined(nonce.size() + plaintext.size() + sealTagSize);
    std::copy(nonce.begin(), nonce.end(), combined.begin());
    std::uint8_t* ciphertext = combined.data() + nonce.size();
    int written = 0;
    if (!plaintext.empty()
        && EVP_EncryptUpdate(context.get(), ciphertext, &written, plaintext.data(), checkedLength(plaintext.size())) != 1)
        failUnderlying();
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context.get(), ciphertext + written, &finalWritten) != 1)
        failUnderlying();
    if (static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten) != plaintext.size())
        throw ProofError("AES-GCM did not produce a combined sealed box");
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(sealTagSize),
                            ciphertext + plaintext.size()) != 1)
        throw ProofError("AES-GCM did not produce a combined sealed box");
    return combined;
}

}

SecretBytes generateVolumePassword()
{
    SecretBytes bits = randomBytes(32);
    return base64URLEncodeSecret(bits.bytes());
}

SecretBytes deriveWrappingKey(const SecretBytes& prfOutput, std::span<const std::uint8_t> prfSalt)
{
    return detail::hkdfSHA256(prfOutput.bytes(), prfSalt, asBytes(wrapKeyInfo), wrappingKeySize);
}

std::vector<std::uint8_t> wrapAssociatedData(std::string_view relyingPartyID, std::string_view credentialText)
{
    std::vector<std::uint8_t> data(wrapAssociatedDataPrefix.size() + relyingPartyID.size() + 1 + credentialText.size());
    auto next = std::copy(wrapAssociatedDataPrefix.begin(), wrapAssociatedDataPrefix.end(), data.begin());
    next = std::copy(relyingPartyID.begin(), relyingPartyID.end(), next);
    *next++ = '|';
    std::copy(credentialText.begin(), credentialText.end(), next);
    return data;
}

std::vector<std::uint8_t> sealPassword(std::span<const std::uint8_t> plaintext, const SecretBytes& key,
                                       std::span<const std::uint8_t> associatedData)
{
    SecretBytes nonce = randomBytes(sealNonceSize);
    return detail::sealWithNonce(plaintext, key, nonce.bytes(), associatedData);
}

SecretBytes openPassword(std::span<const std::uint8_t> combined, const SecretBytes& key,
                         std::span<const std::uint8_t> associatedData)
{
    if (combined.size() < sealNonceSize + sealTagSize)
        throw cryptoError(cryptoKitIncorrectParameterSize);
    std::span<const std::uint8_t> nonce = combined.first(sealNonceSize);
    std::span<const std::uint8_t> ciphertext = combined.subspan(sealNonceSize, combined.size() - sealNonceSize - sealTagSize);
    std::span<const std::uint8_t> tag = combined.last(sealTagSize);

    CipherContext context = gcmContext(false, key, nonce);
    addAssociatedData(context.get(), false, associatedData);
    SecretBytes plaintext(ciphertext.size());
    int written = 0;
    if (!ciphertext.empty()
        && EVP_DecryptUpdate(context.get(), plaintext.data(), &written, ciphertext.data(),
                             checkedLength(ciphertext.size())) != 1)
        failUnderlying();
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(sealTagSize),
                            mutablePointer(tag)) != 1)
        failUnderlying();
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + written, &finalWritten) != 1)
        throw cryptoError(cryptoKitAuthenticationFailure); // the plaintext is wiped on the way out
    return plaintext;
}

NewPasswordWrap wrapNewPassword(const SecretBytes& prfOutput, std::span<const std::uint8_t> prfSalt,
                                std::string_view relyingPartyID, std::string_view credentialText)
{
    SecretBytes password = generateVolumePassword();
    SecretBytes key = deriveWrappingKey(prfOutput, prfSalt);
    std::vector<std::uint8_t> combined =
        sealPassword(password.bytes(), key, wrapAssociatedData(relyingPartyID, credentialText));
    return {std::move(password), base64URLEncode(combined)};
}

SecretBytes openWrappedPassword(const Manifest& manifest, const SecretBytes& prfOutput,
                                std::string_view relyingPartyID)
{
    std::optional<std::vector<std::uint8_t>> salt = base64URLDecode(manifest.prfSalt);
    std::optional<std::vector<std::uint8_t>> combined = base64URLDecode(manifest.wrappedPassword);
    if (!salt || !combined)
        throw ProofError(malformedBase64URLMessage);
    SecretBytes key = deriveWrappingKey(prfOutput, *salt);
    // The stored credential text itself, not a re-encoding of its bytes.
    return openPassword(*combined, key, wrapAssociatedData(relyingPartyID, manifest.credentialID));
}

}
