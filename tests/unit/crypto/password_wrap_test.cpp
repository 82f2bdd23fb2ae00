#include "crypto/password_wrap.h"

#include "common/constants.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/random.h"
#include "tests/support/expectations.h"

#include <set>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

SecretBytes secret(const std::vector<std::uint8_t>& bytes)
{
    return SecretBytes::copyOf(bytes);
}

void expectAuthenticationFailure(const std::function<void()>& action)
{
    PlatformError error = expectPlatformError(action, cryptoKitErrorDomain, cryptoKitAuthenticationFailure);
    EXPECT_STREQ(error.what(), authenticationFailureDescription);
}

void expectIncorrectParameterSize(const std::function<void()>& action)
{
    PlatformError error = expectPlatformError(action, cryptoKitErrorDomain, cryptoKitIncorrectParameterSize);
    EXPECT_STREQ(error.what(), incorrectParameterSizeDescription);
}

}

TEST(RandomBytes, FillsTheRequestedLengthAndReportsAFailingGenerator)
{
    SecretBytes first = randomBytes(32);
    SecretBytes second = randomBytes(32);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_FALSE(first.equals(second.bytes()));
    EXPECT_TRUE(randomBytes(0).empty());

    auto failing = [](std::span<std::uint8_t>) { return -50; };
    expectProofError([&] { detail::randomBytes(16, failing); }, "secure random generation failed: -50");
    auto succeeding = [](std::span<std::uint8_t> buffer) {
        std::fill(buffer.begin(), buffer.end(), std::uint8_t(7));
        return 0;
    };
    EXPECT_TRUE(detail::randomBytes(3, succeeding).equals(std::vector<std::uint8_t> {7, 7, 7}));
}

TEST(VolumePassword, Is43URLSafeCharactersOf256RandomBits)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        SecretBytes password = generateVolumePassword();
        ASSERT_EQ(password.size(), 43u);
        std::string text(password.bytes().begin(), password.bytes().end());
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        auto bits = base64URLDecode(text);
        ASSERT_TRUE(bits);
        EXPECT_EQ(bits->size(), 32u);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(HKDF, MatchesTheSHA256TestCasesOfRFC5869)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> inputKey, salt, info;
        std::string okm;
    };
    std::vector<std::uint8_t> counting(0xb0);
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<std::uint8_t>(i);
    const auto range = [&](std::size_t from, std::size_t to) {
        return std::vector<std::uint8_t>(counting.begin() + static_cast<long>(from), counting.begin() + static_cast<long>(to));
    };
    std::vector<std::uint8_t> longInfo(80);
    for (std::size_t i = 0; i < longInfo.size(); ++i)
        longInfo[i] = static_cast<std::uint8_t>(0xb0 + i);
    const Case cases[] = {
        {"basic", std::vector<std::uint8_t>(22, 0x0b), range(0, 13), hex("f0f1f2f3f4f5f6f7f8f9"),
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {"long inputs", range(0, 0x50), range(0x60, 0xb0), longInfo,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
         "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {"empty salt and info", std::vector<std::uint8_t>(22, 0x0b), {}, {},
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> expected = hex(c.okm);
        EXPECT_TRUE(detail::hkdfSHA256(c.inputKey, c.salt, c.info, expected.size()).equals(expected));
    }
}

TEST(HKDF, WrappingKeyUsesTheFixedInfoText)
{
    SecretBytes prf = secret(std::vector<std::uint8_t>(32, 0x11));
    std::vector<std::uint8_t> salt(32, 0x22);
    SecretBytes key = deriveWrappingKey(prf, salt);
    EXPECT_EQ(key.size(), 32u);
    // Computed apart from this code, with the info text "Ferrolatch APFS password wrap proof v1".
    EXPECT_TRUE(key.equals(hex("89c30f388e122ee559ea3ee144f86ce6655c64f526115f417b5a0bf746cbab34")));
    EXPECT_FALSE(key.equals(deriveWrappingKey(prf, std::vector<std::uint8_t>(32, 0x23)).bytes()));
}

TEST(AESGCM, MatchesThePublishedAES256TestCases)
{
    // Test cases 13 to 18 of McGrew and Viega, "The Galois/Counter Mode of Operation".
    const std::string key15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
    const std::string plain64 = "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                                "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
    const std::string plain60 = plain64.substr(0, 120);
    const std::string aad = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
    struct Case {
        int number;
        std::string key, iv, plaintext, aad, ciphertext, tag;
    };
    const Case cases[] = {
        {13, std::string(64, '0'), std::string(24, '0'), "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
        {14, std::string(64, '0'), std::string(24, '0'), std::string(32, '0'), "",
         "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {15, key15, "cafebabefacedbaddecaf888", plain64, "",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
        {16, key15, "cafebabefacedbaddecaf888", plain60, aad,
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
        {17, key15, "cafebabefacedbad", plain60, aad,
         "c3762df1ca787d32ae47c13bf19844cbaf1ae14d0b976afac52ff7d79bba9de0"
         "feb582d33934a4f0954cc2363bc73f7862ac430e64abe499f47c9b1f",
         "3a337dbf46a792c45e454913fe2ea8f2"},
        {18, key15,
         "9313225df88406e555909c5aff5269aa6a7a9538534f7da1e4c303d2a318a728"
         "c3c0c95156809539fcf0e2429a6b525416aedbf5a0de6a57a637b39b",
         plain60, aad,
         "5a8def2f0c9e53f1f75d7853659e2a20eeb2b22aafde6419a058ab4f6f746bf4"
         "0fc0c3b780f244452da3ebf1c5d82cdea2418997200ef82e44ae7e3f",
         "a44a8266ee1c8eb0c8b5d4cf5ae9f19a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        SecretBytes key = secret(hex(c.key));
        std::vector<std::uint8_t> iv = hex(c.iv);
        std::vector<std::uint8_t> combined = detail::sealWithNonce(hex(c.plaintext), key, iv, hex(c.aad));
        std::vector<std::uint8_t> expected = iv;
        for (const auto& part : {hex(c.ciphertext), hex(c.tag)})
            expected.insert(expected.end(), part.begin(), part.end());
        EXPECT_EQ(combined, expected);
        // The combined form opens only with the 96-bit nonce the wrap uses.
        if (iv.size() == sealNonceSize) {
            EXPECT_TRUE(openPassword(combined, key, hex(c.aad)).equals(hex(c.plaintext)));
        }
    }
}

TEST(AssociatedData, JoinsPrefixRelyingPartyAndCredentialText)
{
    std::vector<std::uint8_t> data = wrapAssociatedData("localhost", "AbC-_9");
    EXPECT_EQ(data, bytesOf("Ferrolatch|proof-v1|localhost|AbC-_9"));
    EXPECT_EQ(data.size(), 36u);
}

TEST(SealedPassword, UsesAFreshNonceAndRefusesAnyAlteration)
{
    SecretBytes key = secret(std::vector<std::uint8_t>(32, 0x42));
    std::vector<std::uint8_t> aad = wrapAssociatedData(relyingPartyDomain, "Y3JlZA");
    SecretBytes password = generateVolumePassword();

    std::vector<std::uint8_t> first = sealPassword(password.bytes(), key, aad);
    std::vector<std::uint8_t> second = sealPassword(password.bytes(), key, aad);
    EXPECT_EQ(first.size(), 71u);
    EXPECT_NE(first, second);
    EXPECT_TRUE(openPassword(first, key, aad).equals(password.bytes()));
    EXPECT_TRUE(openPassword(second, key, aad).equals(password.bytes()));

    for (std::size_t position : {std::size_t(0), std::size_t(12), std::size_t(40), first.size() - 1}) {
        SCOPED_TRACE(position);
        std::vector<std::uint8_t> altered = first;
        altered[position] ^= 0x01;
        expectAuthenticationFailure([&] { openPassword(altered, key, aad); });
    }
    std::vector<std::uint8_t> otherAad = wrapAssociatedData(relyingPartyDomain, "Y3JlZB");
    expectAuthenticationFailure([&] { openPassword(first, key, otherAad); });
    expectAuthenticationFailure([&] { openPassword(first, secret(std::vector<std::uint8_t>(32, 0x43)), aad); });
}

TEST(SealedPassword, RefusesBoxesTooShortBeforeDecrypting)
{
    SecretBytes key = secret(std::vector<std::uint8_t>(32, 0x42));
    expectIncorrectParameterSize([&] { openPassword(std::vector<std::uint8_t>(27, 0), key, {}); });
    expectIncorrectParameterSize([&] { openPassword({}, key, {}); });
    expectAuthenticationFailure([&] { openPassword(std::vector<std::uint8_t>(28, 0), key, {}); });
    // An empty plaintext is still a valid 28-byte box.
    std::vector<std::uint8_t> empty = sealPassword({}, key, {});
    EXPECT_EQ(empty.size(), 28u);
    EXPECT_TRUE(openPassword(empty, key, {}).empty());
    expectPlatformError([&] { sealPassword({}, secret(std::vector<std::uint8_t>(16, 1)), {}); },
                        cryptoKitErrorDomain, cryptoKitIncorrectKeySize);
}

namespace {

struct Enrollment {
    SecretBytes prf = secret(std::vector<std::uint8_t>(32, 0x5a));
    std::vector<std::uint8_t> salt = [] {
        SecretBytes bytes = randomBytes(prfSaltSize);
        return std::vector<std::uint8_t>(bytes.bytes().begin(), bytes.bytes().end());
    }();
    std::string credentialText = base64URLEncode(std::string_view("credential-id-bytes"));
    NewPasswordWrap wrap = wrapNewPassword(prf, salt, relyingPartyDomain, credentialText);

    Manifest manifest() const
    {
        Manifest m;
        m.version = 1;
        m.relyingPartyID = std::string(relyingPartyDomain);
        m.credentialID = credentialText;
        m.prfSalt = base64URLEncode(salt);
        m.wrappedPassword = wrap.wrappedPassword;
        m.createdAt = "2026-01-31T09:15:00Z";
        return m;
    }
};

}

TEST(PasswordWrap, OpensWithTheSamePRFOutputAndRelyingParty)
{
    Enrollment enrollment;
    EXPECT_EQ(enrollment.wrap.password.size(), 43u);
    EXPECT_EQ(enrollment.wrap.wrappedPassword.size(), 95u);
    SecretBytes opened = openWrappedPassword(enrollment.manifest(), enrollment.prf, relyingPartyDomain);
    EXPECT_TRUE(opened.equals(enrollment.wrap.password.bytes()));
}

TEST(PasswordWrap, OpensAWrapMadeElsewhereFromTheStoredTexts)
{
    // Sealed apart from this code: HKDF-SHA-256 with the fixed info text, AES-256-GCM
    // with nonce a0..ab over "Ferrolatch|proof-v1|localhost|Y3JlZGVudGlhbA".
    Manifest manifest;
    manifest.version = 1;
    manifest.relyingPartyID = "localhost";
    manifest.credentialID = "Y3JlZGVudGlhbA";
    manifest.prfSalt = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    manifest.wrappedPassword =
        "oKGio6Slpqeoqaqro6vmPYbN4NOmogMSnXAkIFBw7xFJZg7RuW3IR30cWGDOs4RcwAco_n7aE9IVU5_K1NZK6ZSfP3JefE0";
    SecretBytes opened = openWrappedPassword(manifest, secret(std::vector<std::uint8_t>(32, 0x5a)), "localhost");
    EXPECT_TRUE(opened.equals(std::string_view("Kx7-pQ2_mN9vR4tY6uW8zA1bC3dE5fG0hJ2kL4nP6qS")));
}

TEST(PasswordWrap, RefusesEveryMismatchWithAuthenticationFailure)
{
    Enrollment enrollment;
    struct Case {
        const char* name;
        std::function<void(Manifest&)> alter;
        std::string_view relyingParty;
        SecretBytes prf;
    };
    auto changeFirst = [](std::string& text) { text[0] = text[0] == 'A' ? 'B' : 'A'; };
    std::vector<Case> cases;
    cases.push_back({"other PRF output", [](Manifest&) {}, relyingPartyDomain,
                     secret(std::vector<std::uint8_t>(32, 0x5b))});
    cases.push_back({"localhost instead of the domain", [](Manifest&) {}, localRelyingPartyID,
                     enrollment.prf.clone()});
    cases.push_back({"credential text changed", [&](Manifest& m) { changeFirst(m.credentialID); },
                     relyingPartyDomain, enrollment.prf.clone()});
    cases.push_back({"salt changed", [&](Manifest& m) { changeFirst(m.prfSalt); }, relyingPartyDomain,
                     enrollment.prf.clone()});
    cases.push_back({"sealed bytes changed", [&](Manifest& m) { changeFirst(m.wrappedPassword); },
                     relyingPartyDomain, enrollment.prf.clone()});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Manifest manifest = enrollment.manifest();
        c.alter(manifest);
        expectAuthenticationFailure([&] { openWrappedPassword(manifest, c.prf, c.relyingParty); });
    }
}

TEST(PasswordWrap, ReportsUndecodableFieldsAndShortBoxes)
{
    Enrollment enrollment;
    const std::string malformed = "browser returned malformed Base64URL";
    Manifest badSalt = enrollment.manifest();
    badSalt.prfSalt += "*";
    expectProofError([&] { openWrappedPassword(badSalt, enrollment.prf, relyingPartyDomain); }, malformed);
    Manifest badBox = enrollment.manifest();
    badBox.wrappedPassword = badBox.wrappedPassword.substr(0, 93); // remainder 1
    expectProofError([&] { openWrappedPassword(badBox, enrollment.prf, relyingPartyDomain); }, malformed);

    Manifest shortBox = enrollment.manifest();
    shortBox.wrappedPassword = base64URLEncode(std::vector<std::uint8_t>(27, 1));
    expectIncorrectParameterSize([&] { openWrappedPassword(shortBox, enrollment.prf, relyingPartyDomain); });
    shortBox.wrappedPassword = base64URLEncode(std::vector<std::uint8_t>(28, 1));
    expectAuthenticationFailure([&] { openWrappedPassword(shortBox, enrollment.prf, relyingPartyDomain); });
}
