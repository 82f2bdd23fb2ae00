#include "ceremony/native_passkey_ceremony.h"

#include "common/constants.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/password_wrap.h"
#include "common/errors.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/headless/scripted_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace ferrolatch;

namespace {

// A passkey service whose answer each test chooses. By default it honours the
// port's contract: nothing reaches a delegate after its handle is gone.
struct FakePasskeyService final : PasskeyService {
    MainLoop& loop;
    std::vector<PasskeyRequest> requests;
    int cancels = 0;
    // Called on the loop after performRequest; may answer through the delegate.
    std::function<void(PasskeyAuthorizationDelegate&)> answer;
    // Called from cancel(); the default answers nothing.
    std::function<void(PasskeyAuthorizationDelegate&)> onCancel;

    explicit FakePasskeyService(MainLoop& mainLoop) : loop(mainLoop) {}

    struct Handle final : PasskeyAuthorization {
        FakePasskeyService& service;
        PasskeyAuthorizationDelegate& delegate;
        std::shared_ptr<bool> alive = std::make_shared<bool>(true);
        Handle(FakePasskeyService& s, PasskeyAuthorizationDelegate& d) : service(s), delegate(d) {}
        ~Handle() override { *alive = false; }
        void cancel() override
        {
            ++service.cancels;
            if (service.onCancel)
                service.onCancel(delegate);
        }
    };

    std::unique_ptr<PasskeyAuthorization> performRequest(const PasskeyRequest& request,
                                                         PasskeyAuthorizationDelegate& delegate) override
    {
        requests.push_back(request);
        auto handle = std::make_unique<Handle>(*this, delegate);
        std::weak_ptr<bool> alive = handle->alive;
        auto reply = answer;
        loop.post([alive, reply, &delegate] {
            auto living = alive.lock();
            if (living && *living && reply)
                reply(delegate);
        });
        return handle;
    }
};

PasskeyCredential credential(PasskeyCredential::Kind kind, Bytes id, std::optional<Bytes> first)
{
    PasskeyCredential c;
    c.kind = kind;
    c.credentialID = std::move(id);
    if (first) {
        c.prf = PrfOutput {};
        c.prf->first = SecretBytes::copyOf(*first);
    }
    return c;
}

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

struct CeremonyFixture : ::testing::Test {
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    ScriptedUi ui {{}, ""};
    FakePasskeyService passkeys {loop};
    const Bytes salt = Bytes(32, 0x11);
    const Bytes credentialID = Bytes(20, 0x22);
    const Bytes prf = Bytes(32, 0x33);
};

}

TEST_F(CeremonyFixture, EnrollRegistersWithTheFixedValuesAndReturnsTheReply)
{
    passkeys.answer = [&](PasskeyAuthorizationDelegate& d) {
        d.didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformRegistration, credentialID, prf));
    };
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    double start = clock.now();
    NativeReply reply = ceremony.run("enroll", salt, Bytes {9, 9}); // a credential is ignored when enrolling
    EXPECT_EQ(reply.credentialID, credentialID);
    EXPECT_TRUE(reply.prfOutput.equals(prf));
    EXPECT_DOUBLE_EQ(clock.now(), start) << "no waiting for the timer";

    ASSERT_EQ(passkeys.requests.size(), 1u);
    const auto& request = std::get<PasskeyRegistrationRequest>(passkeys.requests[0]);
    EXPECT_EQ(request.relyingPartyIdentifier, relyingPartyDomain);
    EXPECT_EQ(request.challenge.size(), 32u);
    EXPECT_EQ(request.userID.size(), 32u);
    EXPECT_NE(request.challenge, request.userID);
    EXPECT_EQ(request.name, "Ferrolatch");
    EXPECT_EQ(request.displayName, "Ferrolatch disk unlock");
    EXPECT_EQ(request.userVerification, UserVerification::Required);
    ASSERT_TRUE(request.prf);
    EXPECT_EQ(request.prf->saltInput1, salt);
    EXPECT_FALSE(request.prf->saltInput2);
}

TEST_F(CeremonyFixture, UnlockAssertsWithOnlyTheGivenCredential)
{
    passkeys.answer = [&](PasskeyAuthorizationDelegate& d) {
        d.didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformAssertion, credentialID, prf));
    };
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    NativeReply reply = ceremony.run("unlock", salt, credentialID);
    EXPECT_TRUE(reply.prfOutput.equals(prf));

    const auto& request = std::get<PasskeyAssertionRequest>(passkeys.requests.at(0));
    EXPECT_EQ(request.relyingPartyIdentifier, relyingPartyDomain);
    EXPECT_EQ(request.challenge.size(), 32u);
    EXPECT_EQ(request.allowedCredentials, std::vector<Bytes> {credentialID});
    EXPECT_EQ(request.userVerification, UserVerification::Required);
    ASSERT_EQ(request.perCredentialPrfInputValues.size(), 1u);
    EXPECT_EQ(request.perCredentialPrfInputValues.at(credentialID).saltInput1, salt);
}

TEST_F(CeremonyFixture, EachWayOfEndingGivesItsOutcome)
{
    using Kind = PasskeyCredential::Kind;
    struct Case {
        const char* name;
        const char* mode;
        std::function<void(PasskeyAuthorizationDelegate&)> answer;
        std::string error;
    } cases[] = {
        {"registration without PRF", "enroll",
         [&](auto& d) { d.didCompleteWithAuthorization(credential(Kind::PlatformRegistration, credentialID, {})); },
         "new native passkey returned no PRF output"},
        {"registration with PRF output but no first result", "enroll",
         [&](auto& d) {
             auto c = credential(Kind::PlatformRegistration, credentialID, {});
             c.prf = PrfOutput {};
             d.didCompleteWithAuthorization(std::move(c));
         },
         "new native passkey returned no PRF output"},
        {"assertion without PRF", "unlock",
         [&](auto& d) { d.didCompleteWithAuthorization(credential(Kind::PlatformAssertion, credentialID, {})); },
         "native passkey assertion returned no PRF output"},
        {"other credential type", "unlock",
         [&](auto& d) { d.didCompleteWithAuthorization(credential(Kind::Other, credentialID, prf)); },
         "native passkey ceremony returned an unexpected credential type"},
        {"platform error unchanged", "unlock",
         [&](auto& d) {
             d.didCompleteWithError(std::make_exception_ptr(PlatformError(authorizationErrorDomain, 1001, "canceled")));
         },
         "canceled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        passkeys.answer = c.answer;
        NativePasskeyCeremony ceremony(loop, ui, passkeys);
        EXPECT_EQ(messageOf([&] { ceremony.run(c.mode, salt, credentialID); }), c.error);
    }

    passkeys.answer = cases[4].answer;
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    try {
        ceremony.run("unlock", salt, credentialID);
        ADD_FAILURE();
    } catch (const PlatformError& error) {
        EXPECT_TRUE(error.is(authorizationErrorDomain, 1001));
    }
}

TEST_F(CeremonyFixture, UnlockWithoutCredentialFailsBeforeAnyRequest)
{
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, std::nullopt); }),
              "native assertion requires a credential identifier");
    EXPECT_TRUE(passkeys.requests.empty());
}

TEST_F(CeremonyFixture, RandomFailureEndsTheRunBeforeAnyRequest)
{
    NativePasskeyCeremony ceremony(loop, ui, passkeys, [](std::size_t) -> SecretBytes {
        throw ProofError("secure random generation failed: -50");
    });
    EXPECT_EQ(messageOf([&] { ceremony.run("enroll", salt, std::nullopt); }), "secure random generation failed: -50");
    EXPECT_TRUE(passkeys.requests.empty());
}

TEST_F(CeremonyFixture, TimesOutAfterExactly300SecondsAndCancels)
{
    NativePasskeyCeremony ceremony(loop, ui, passkeys); // the service never answers
    double start = clock.now();
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, credentialID); }), "native passkey ceremony timed out");
    EXPECT_DOUBLE_EQ(clock.now() - start, 300.0);
    EXPECT_EQ(passkeys.cancels, 1);
}

TEST_F(CeremonyFixture, ACancellationAnsweredAtOnceBeatsTheTimeOut)
{
    passkeys.onCancel = [](PasskeyAuthorizationDelegate& d) {
        d.didCompleteWithError(std::make_exception_ptr(PlatformError(authorizationErrorDomain, 1001, "canceled")));
    };
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, credentialID); }), "canceled");
}

TEST_F(CeremonyFixture, ACompletionAfterTheTimeOutIsIgnored)
{
    // A misbehaving service that answers long after the ceremony gave up.
    NativePasskeyCeremony* target = nullptr;
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    target = &ceremony;
    loop.postAfter(301.0, [&] {
        target->didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformAssertion, credentialID, prf));
    });
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, credentialID); }), "native passkey ceremony timed out");

    // Deliver the late completion, then prove it left no stop behind.
    bool reached = false;
    loop.postAfter(10.0, [&] { reached = true; loop.stop(); });
    loop.run();
    EXPECT_TRUE(reached);
}

TEST_F(CeremonyFixture, TwoRunsOnOneObjectEachStartPending)
{
    int run = 0;
    passkeys.answer = [&](PasskeyAuthorizationDelegate& d) {
        if (++run == 1)
            d.didCompleteWithError(std::make_exception_ptr(ProofError("first")));
        else
            d.didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformAssertion, credentialID, prf));
    };
    NativePasskeyCeremony ceremony(loop, ui, passkeys);
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, credentialID); }), "first");
    EXPECT_TRUE(ceremony.run("unlock", salt, credentialID).prfOutput.equals(prf));
    EXPECT_EQ(passkeys.requests.size(), 2u);

    // The first run's timer was dropped: a third run still waits its full time.
    passkeys.answer = nullptr;
    double start = clock.now();
    EXPECT_EQ(messageOf([&] { ceremony.run("unlock", salt, credentialID); }), "native passkey ceremony timed out");
    EXPECT_DOUBLE_EQ(clock.now() - start, 300.0);
}

TEST_F(CeremonyFixture, ShowsAndHidesItsAnchorWindow)
{
    std::string path = ::testing::TempDir() + "ceremony-transcript.jsonl";
    std::remove(path.c_str());
    ScriptedUi recording({}, path);
    passkeys.answer = [&](PasskeyAuthorizationDelegate& d) {
        EXPECT_NO_THROW(d.presentationAnchor());
        d.didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformAssertion, credentialID, prf));
    };
    {
        NativePasskeyCeremony ceremony(loop, recording, passkeys);
        ceremony.run("unlock", salt, credentialID);
    }
    std::ifstream stream(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], R"({"kind":"prepareApplication"})");
    EXPECT_EQ(lines[1], R"({"kind":"window","size":{"height":180.0,"width":460.0},"title":"Ferrolatch","visible":true})");
    EXPECT_EQ(lines[2], R"({"kind":"activate"})");
    EXPECT_EQ(lines[3], R"({"kind":"window","size":{"height":180.0,"width":460.0},"title":"Ferrolatch","visible":false})");
}

namespace {

struct UnwrapFixture : CeremonyFixture {
    Manifest manifest;
    SecretBytes password;

    UnwrapFixture()
    {
        SecretBytes prfOutput = SecretBytes::copyOf(prf);
        NewPasswordWrap wrap = wrapNewPassword(prfOutput, salt, relyingPartyDomain, base64URLEncode(credentialID));
        password = std::move(wrap.password);
        manifest.version = 1;
        manifest.relyingPartyID = std::string(relyingPartyDomain);
        manifest.credentialID = base64URLEncode(credentialID);
        manifest.prfSalt = base64URLEncode(salt);
        manifest.wrappedPassword = wrap.wrappedPassword;
        manifest.resourceKind = "native-apfs-volume";
        passkeys.answer = [this](PasskeyAuthorizationDelegate& d) { answerWith(d, credentialID, prf); };
    }

    static void answerWith(PasskeyAuthorizationDelegate& d, const Bytes& id, const Bytes& output)
    {
        d.didCompleteWithAuthorization(credential(PasskeyCredential::Kind::PlatformAssertion, id, output));
    }

    std::string unwrapError()
    {
        return messageOf([&] { unwrapPasswordWithPasskey(loop, ui, passkeys, manifest); });
    }
};

}

TEST_F(UnwrapFixture, ReturnsThePasswordAfterOneAssertion)
{
    SecretBytes unwrapped = unwrapPasswordWithPasskey(loop, ui, passkeys, manifest);
    EXPECT_TRUE(unwrapped.equals(password.bytes()));
    ASSERT_EQ(passkeys.requests.size(), 1u);
    EXPECT_EQ(std::get<PasskeyAssertionRequest>(passkeys.requests[0]).perCredentialPrfInputValues.at(credentialID).saltInput1,
              salt);
}

TEST_F(UnwrapFixture, MalformedFieldsFailBeforeAnyPrompt)
{
    for (std::string Manifest::*field : {&Manifest::prfSalt, &Manifest::wrappedPassword, &Manifest::credentialID}) {
        Manifest saved = manifest;
        manifest.*field = "A*";
        EXPECT_EQ(unwrapError(), "browser returned malformed Base64URL");
        manifest = saved;
    }
    EXPECT_TRUE(passkeys.requests.empty());
}

TEST_F(UnwrapFixture, FailuresAfterThePrompt)
{
    // A reply from another credential.
    passkeys.answer = [this](PasskeyAuthorizationDelegate& d) { answerWith(d, Bytes(20, 0x44), prf); };
    EXPECT_EQ(unwrapError(), "native passkey ceremony returned a different credential");

    // A sealed box that decodes but is too short: refused only after the prompt.
    passkeys.answer = [this](PasskeyAuthorizationDelegate& d) { answerWith(d, credentialID, prf); };
    Manifest saved = manifest;
    manifest.wrappedPassword = base64URLEncode(Bytes(27, 1));
    std::size_t before = passkeys.requests.size();
    EXPECT_EQ(unwrapError(), incorrectParameterSizeDescription);
    EXPECT_EQ(passkeys.requests.size(), before + 1);
    manifest = saved;

    // Another passkey's PRF output, and an altered credential text, fail authentication.
    passkeys.answer = [this](PasskeyAuthorizationDelegate& d) { answerWith(d, credentialID, Bytes(32, 0x34)); };
    EXPECT_EQ(unwrapError(), authenticationFailureDescription);

    // Padding makes the same bytes another text: the stored text is what the wrap binds.
    passkeys.answer = [this](PasskeyAuthorizationDelegate& d) { answerWith(d, credentialID, prf); };
    manifest.credentialID += "=";
    ASSERT_TRUE(base64URLDecode(manifest.credentialID));
    EXPECT_EQ(unwrapError(), authenticationFailureDescription);
}
