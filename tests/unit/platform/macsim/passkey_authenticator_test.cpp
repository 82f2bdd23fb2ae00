#include "common/errors.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/headless/scripted_ui.h"
#include "platform/macsim/passkey_authenticator.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace ferrolatch;

namespace {

const std::string domain = "ferrolatch.example";

std::string entitlements(const std::string& associatedDomain)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>com.apple.developer.associated-domains</key><array><string>)"
        + associatedDomain + R"(</string></array>
</dict></plist>
)";
}


// HMAC-SHA-256 built from two plain SHA-256 passes, independent of the code under test.
Bytes sha256(const Bytes& message)
{
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

Bytes referencePrf(std::span<const std::uint8_t> secret, const Bytes& salt)
{
    const std::string_view label("WebAuthn PRF\0", 13);
    Bytes input(label.size() + salt.size());
    std::copy(label.begin(), label.end(), input.begin());
    std::copy(salt.begin(), salt.end(), input.begin() + static_cast<std::ptrdiff_t>(label.size()));
    Bytes message = sha256(input);

    Bytes key(64, 0);
    std::copy(secret.begin(), secret.end(), key.begin());
    Bytes inner(64), outer(64);
    for (std::size_t index = 0; index < key.size(); ++index) {
        inner[index] = static_cast<std::uint8_t>(key[index] ^ 0x36);
        outer[index] = static_cast<std::uint8_t>(key[index] ^ 0x5c);
    }
    inner.insert(inner.end(), message.begin(), message.end());
    Bytes innerDigest = sha256(inner);
    outer.insert(outer.end(), innerDigest.begin(), innerDigest.end());
    return sha256(outer);
}

Bytes asBytes(const SecretBytes& secret) { return Bytes(secret.bytes().begin(), secret.bytes().end()); }

struct Recorder final : PasskeyAuthorizationDelegate {
    std::unique_ptr<Window> window;
    std::optional<PasskeyCredential> credential;
    std::exception_ptr error;
    int calls = 0;

    explicit Recorder(Ui& ui) : window(ui.createWindow({"Ferrolatch"})) {}
    Window& presentationAnchor() override { return *window; }
    void didCompleteWithAuthorization(PasskeyCredential c) override { credential = std::move(c); ++calls; }
    void didCompleteWithError(std::exception_ptr e) override { error = e; ++calls; }

    PlatformError platformError() const
    {
        try {
            std::rethrow_exception(error);
        } catch (const PlatformError& e) {
            return e;
        } catch (...) {
        }
        return PlatformError("none", 0, "not a platform error");
    }
};

struct AuthenticatorFixture : ::testing::Test {
    std::filesystem::path directory;
    ManualClock clock;
    HeadlessMainLoop loop {clock};

    AuthenticatorFixture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "passkeys-XXXXXX").string();
        directory = mkdtemp(pattern.data());
        std::filesystem::create_directories(directory / "Keychains");
        writeEntitlements(entitlements("webcredentials:" + domain));
    }
    ~AuthenticatorFixture() override { std::filesystem::remove_all(directory); }

    void writeEntitlements(const std::string& text) { std::ofstream(directory / "app.entitlements") << text; }

    SimulatedPasskeyService service(Ui& ui)
    {
        return SimulatedPasskeyService(loop, ui,
                                       {(directory / "Keychains").string(), (directory / "app.entitlements").string(),
                                        "T4QW8ZR2LM.com.quorvel.ferrolatch"});
    }

    // Runs one request to its answer.
    void perform(SimulatedPasskeyService& passkeys, const PasskeyRequest& request, Recorder& recorder)
    {
        auto authorization = passkeys.performRequest(request, recorder);
        EXPECT_EQ(recorder.calls, 0) << "answered synchronously";
        loop.runUntil([&] { return recorder.calls > 0; });
    }
};

PasskeyRegistrationRequest registration(const Bytes& salt)
{
    PasskeyRegistrationRequest request;
    request.relyingPartyIdentifier = domain;
    request.challenge = Bytes(32, 7);
    request.name = "Ferrolatch";
    request.userID = Bytes(32, 9);
    request.displayName = "Ferrolatch disk unlock";
    request.userVerification = UserVerification::Required;
    request.prf = PrfInputValues {salt, std::nullopt};
    return request;
}

PasskeyAssertionRequest assertion(const Bytes& credential, const Bytes& salt)
{
    PasskeyAssertionRequest request;
    request.relyingPartyIdentifier = domain;
    request.challenge = Bytes(32, 3);
    request.allowedCredentials = {credential};
    request.userVerification = UserVerification::Required;
    request.perCredentialPrfInputValues[credential] = PrfInputValues {salt, std::nullopt};
    return request;
}

std::string approvals(int count)
{
    std::string script = "[";
    for (int index = 0; index < count; ++index)
        script += std::string(index ? "," : "") + R"({"expect": "", "button": "Continue"})";
    return script + "]";
}

}

TEST_F(AuthenticatorFixture, RegistersThenAssertsWithAKnownAnswerPrf)
{
    ScriptedUi ui(parseUiScript(approvals(5)), "");
    auto passkeys = service(ui);
    Bytes salt(32, 0x5a);

    Recorder enrolled(ui);
    perform(passkeys, registration(salt), enrolled);
    ASSERT_TRUE(enrolled.credential) << "error instead of a credential";
    EXPECT_EQ(enrolled.credential->kind, PasskeyCredential::Kind::PlatformRegistration);
    EXPECT_EQ(enrolled.credential->credentialID.size(), 20u);
    ASSERT_TRUE(enrolled.credential->prf && enrolled.credential->prf->first);

    auto stored = passkeys.storedPasskeys();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].relyingParty, domain);
    EXPECT_EQ(stored[0].userHandle, Bytes(32, 9));
    EXPECT_EQ(stored[0].userName, "Ferrolatch");
    EXPECT_EQ(asBytes(*enrolled.credential->prf->first), referencePrf(stored[0].secret.bytes(), salt));

    struct stat status {};
    ASSERT_EQ(stat(passkeys.storePath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // The same credential and salt give the same output; another salt does not.
    Recorder again(ui);
    perform(passkeys, assertion(enrolled.credential->credentialID, salt), again);
    ASSERT_TRUE(again.credential && again.credential->prf && again.credential->prf->first);
    EXPECT_EQ(again.credential->kind, PasskeyCredential::Kind::PlatformAssertion);
    EXPECT_EQ(again.credential->credentialID, enrolled.credential->credentialID);
    EXPECT_TRUE(again.credential->prf->first->equals(enrolled.credential->prf->first->bytes()));

    Recorder otherSalt(ui);
    perform(passkeys, assertion(enrolled.credential->credentialID, Bytes(32, 0x5b)), otherSalt);
    ASSERT_TRUE(otherSalt.credential && otherSalt.credential->prf);
    EXPECT_FALSE(otherSalt.credential->prf->first->equals(enrolled.credential->prf->first->bytes()));

    // A second credential has its own secret.
    Recorder second(ui);
    perform(passkeys, registration(salt), second);
    ASSERT_TRUE(second.credential && second.credential->prf);
    EXPECT_NE(second.credential->credentialID, enrolled.credential->credentialID);
    EXPECT_FALSE(second.credential->prf->first->equals(enrolled.credential->prf->first->bytes()));
    EXPECT_EQ(passkeys.storedPasskeys().size(), 2u);

    // Without PRF inputs for the credential, the assertion carries no PRF result.
    Recorder withoutPrf(ui);
    auto request = assertion(enrolled.credential->credentialID, salt);
    request.perCredentialPrfInputValues.clear();
    perform(passkeys, request, withoutPrf);
    ASSERT_TRUE(withoutPrf.credential);
    EXPECT_FALSE(withoutPrf.credential->prf);
}

TEST_F(AuthenticatorFixture, RefusalsComeAsThePlatformsErrors)
{
    struct Case {
        const char* name;
        std::string entitlements;
        bool knownCredential;
        const char* script; // a sheet shown where none is expected fails the script
        long code;
        std::string description;
    } cases[] = {
        {"not associated", entitlements("webcredentials:other.example"), true, "[]", authorizationErrorFailed,
         "The operation couldn’t be completed. Application with identifier T4QW8ZR2LM.com.quorvel.ferrolatch is not "
         "associated with domain ferrolatch.example"},
        {"associated only as applinks", entitlements("applinks:" + domain), true, "[]", authorizationErrorFailed,
         "The operation couldn’t be completed. Application with identifier T4QW8ZR2LM.com.quorvel.ferrolatch is not "
         "associated with domain ferrolatch.example"},
        {"unknown credential", entitlements("webcredentials:" + domain), false, "[]", authorizationErrorFailed,
         "The operation couldn’t be completed. No credentials available for login."},
        // A raw NUL is no XML at all, so the association it carries does not count.
        {"entitlements with a raw NUL",
         entitlements("webcredentials:" + domain + "</string><string>a" + std::string(1, '\0') + "b"), true, "[]",
         authorizationErrorFailed,
         "The operation couldn’t be completed. Application with identifier T4QW8ZR2LM.com.quorvel.ferrolatch is not "
         "associated with domain ferrolatch.example"},
        {"cancelled sheet", entitlements("webcredentials:" + domain), true, R"([{"expect": "Sign in to ferrolatch.example", "button": "Cancel"}])",
         authorizationErrorCanceled,
         "The operation couldn’t be completed. (com.apple.AuthenticationServices.AuthorizationError error 1001.)"},
    };
    ScriptedUi enrolUi(parseUiScript(approvals(1)), "");
    auto enrolService = service(enrolUi);
    Recorder enrolled(enrolUi);
    perform(enrolService, registration(Bytes(32, 1)), enrolled);
    ASSERT_TRUE(enrolled.credential);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeEntitlements(c.entitlements);
        ScriptedUi ui(parseUiScript(c.script), "");
        auto passkeys = service(ui);
        Recorder recorder(ui);
        Bytes credential = c.knownCredential ? enrolled.credential->credentialID : Bytes(20, 0xee);
        perform(passkeys, assertion(credential, Bytes(32, 1)), recorder);
        ASSERT_TRUE(recorder.error);
        EXPECT_EQ(recorder.platformError().domain(), authorizationErrorDomain);
        EXPECT_EQ(recorder.platformError().code(), c.code);
        EXPECT_EQ(recorder.platformError().what(), c.description);
        EXPECT_EQ(ui.answersLeft(), 0u);
    }
}

TEST_F(AuthenticatorFixture, ScriptFailuresReachTheDelegate)
{
    ScriptedUi ui(parseUiScript(R"([{"expect": "Sign in", "button": "Continue"}])"), "");
    auto passkeys = service(ui);
    Recorder recorder(ui);
    perform(passkeys, registration(Bytes(32, 1)), recorder);
    ASSERT_TRUE(recorder.error);
    EXPECT_THROW(std::rethrow_exception(recorder.error), ProofError);
    EXPECT_TRUE(passkeys.storedPasskeys().empty());
}

namespace {

// A sheet during which something cancels the request, as a time-out would.
struct CancellingUi final : Ui {
    ScriptedUi windows {{}, ""};
    std::function<void()> duringSheet;
    int sheets = 0;
    int aborts = 0;
    void prepareApplication() override {}
    void activate() override {}
    void beep() override {}
    Size layoutSize(const Alert&) override { return {}; }
    long runModal(Alert&) override
    {
        ++sheets;
        if (duringSheet)
            duringSheet();
        return aborts ? alertAbortedResponse : alertFirstButtonReturn;
    }
    void abortModal() override { ++aborts; }
    std::unique_ptr<Window> createWindow(const WindowDescription& d) override { return windows.createWindow(d); }
};

}

TEST_F(AuthenticatorFixture, CancelBeforeOrDuringTheSheetAnswersCanceledOnce)
{
    CancellingUi ui;
    auto passkeys = service(ui);

    Recorder before(ui);
    auto early = passkeys.performRequest(registration(Bytes(32, 1)), before);
    early->cancel();
    early->cancel();
    loop.runUntil([&] { return before.calls > 0; });
    loop.post([&] { loop.stop(); });
    loop.run(); // let anything else queued run
    EXPECT_EQ(before.calls, 1);
    EXPECT_EQ(before.platformError().code(), authorizationErrorCanceled);
    EXPECT_EQ(ui.sheets, 0);

    Recorder during(ui);
    std::unique_ptr<PasskeyAuthorization> running;
    ui.duringSheet = [&] { running->cancel(); };
    running = passkeys.performRequest(registration(Bytes(32, 1)), during);
    loop.runUntil([&] { return during.calls > 0; });
    EXPECT_EQ(ui.aborts, 1);
    EXPECT_EQ(during.calls, 1);
    EXPECT_EQ(during.platformError().code(), authorizationErrorCanceled);
    EXPECT_TRUE(passkeys.storedPasskeys().empty());
}

TEST_F(AuthenticatorFixture, DestroyedAuthorizationNeverCallsBack)
{
    ScriptedUi ui(parseUiScript("[]"), "");
    auto passkeys = service(ui);
    Recorder recorder(ui);
    passkeys.performRequest(registration(Bytes(32, 1)), recorder).reset();
    loop.post([&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(recorder.calls, 0);
}

TEST_F(AuthenticatorFixture, APasskeyTheStoreCouldNotReadBackIsRefusedAndTheOthersKept)
{
    ScriptedUi ui(parseUiScript(approvals(2)), "");
    auto passkeys = service(ui);
    Recorder first(ui);
    perform(passkeys, registration(Bytes(32, 1)), first);
    ASSERT_TRUE(first.credential);

    auto request = registration(Bytes(32, 1));
    request.name = "Ferrolatch\nsecond line";
    Recorder refused(ui);
    perform(passkeys, request, refused);
    ASSERT_TRUE(refused.error);
    EXPECT_THROW(std::rethrow_exception(refused.error), ProofError);

    auto stored = passkeys.storedPasskeys();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].credentialID, first.credential->credentialID);
}

TEST(PasskeyStore, RoundTripsAndRefusesDamage)
{
    std::vector<StoredPasskey> passkeys;
    passkeys.push_back({Bytes {1, 2, 0xff}, "ferrolatch.example", Bytes {}, "Ferrolatch", SecretBytes(32)});
    passkeys.back().secret.data()[31] = 0xab;
    SecretBytes file = encodePasskeyStore(passkeys);
    auto decoded = decodePasskeyStore(file.bytes());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].credentialID, (Bytes {1, 2, 0xff}));
    EXPECT_TRUE(decoded[0].userHandle.empty());
    EXPECT_TRUE(decoded[0].secret.equals(passkeys[0].secret.bytes()));

    // What the decoder would refuse is never written.
    struct Unreadable {
        const char* name;
        void (*spoil)(StoredPasskey&);
    } unreadable[] = {
        {"empty identifier", [](StoredPasskey& p) { p.credentialID.clear(); }},
        {"empty relying party", [](StoredPasskey& p) { p.relyingParty.clear(); }},
        {"tab in the relying party", [](StoredPasskey& p) { p.relyingParty += "\tx"; }},
        {"line feed in the user name", [](StoredPasskey& p) { p.userName += "\nx"; }},
        {"short secret", [](StoredPasskey& p) { p.secret = SecretBytes(31); }},
    };
    for (const Unreadable& u : unreadable) {
        SCOPED_TRACE(u.name);
        std::vector<StoredPasskey> spoilt;
        spoilt.push_back({Bytes {1}, "ferrolatch.example", Bytes {}, "Ferrolatch", SecretBytes(32)});
        u.spoil(spoilt.back());
        EXPECT_THROW(encodePasskeyStore(spoilt), ProofError);
    }

    const std::string header = "ferrolatch-macsim-passkeys 1\n";
    const std::string secret(64, 'a');
    struct Case {
        std::string file;
        const char* error;
    } cases[] = {
        {"", "the passkey store of the virtual Mac has an unknown format"},
        {"other 1\n", "the passkey store of the virtual Mac has an unknown format"},
        {header + "01\trp\t\tname\t" + secret, "the passkey store of the virtual Mac is truncated at line 2"},
        {header + "01\trp\t\tname\n", "the passkey store of the virtual Mac is damaged at line 2"},
        {header + "0g\trp\t\tname\t" + secret + "\n", "the passkey store of the virtual Mac is damaged at line 2"},
        {header + "01\trp\t\tname\t" + secret.substr(2) + "\n", "the passkey store of the virtual Mac is damaged at line 2"},
        {header + "\trp\t\tname\t" + secret + "\n", "the passkey store of the virtual Mac is damaged at line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        try {
            decodePasskeyStore(std::span(reinterpret_cast<const std::uint8_t*>(c.file.data()), c.file.size()));
            ADD_FAILURE() << "accepted";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}
