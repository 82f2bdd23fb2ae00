#include "commands/shared_recovery_credential.h"

#include "common/constants.h"
#include "common/errors.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/unavailable_services.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ferrolatch;

namespace {

const std::string account = "Ferrolatch Backup 6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";
const std::string password = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

// The shared-web-credential service as a test drives it: it keeps the request
// and the test answers when it likes, from the main loop, another thread, or
// not at all.
class FakeSharedService final : public Keychain {
public:
    struct Request {
        std::string domain;
        std::string account;
        std::string password;
        SharedWebCredentialCompletion completion;
    };
    std::vector<Request> requests;
    std::function<void(Request&)> onRequest; // runs inside the call

    OSStatus add(const KeychainAttributes&) override { return errSecParam; }
    OSStatus update(const KeychainAttributes&, const KeychainAttributes&) override { return errSecParam; }
    OSStatus copyMatching(const KeychainQuery&, std::optional<SecretBytes>&) override { return errSecParam; }
    OSStatus deleteItems(const KeychainAttributes&) override { return errSecParam; }
    std::optional<std::string> copyErrorMessageString(OSStatus) override { return std::nullopt; }
    void addSharedWebCredential(const std::string& domain, const std::string& name, const SecretBytes& secret,
                                SharedWebCredentialCompletion completion) override
    {
        requests.push_back({domain, name, std::string(reinterpret_cast<const char*>(secret.data()), secret.size()),
                            std::move(completion)});
        if (onRequest)
            onRequest(requests.back());
    }
};

struct SharedCredential : ::testing::Test {
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    FakeSharedService service;

    // The service answers a little later, on the main loop.
    void answerAfter(double seconds, OSStatus status, std::optional<std::string> description)
    {
        service.onRequest = [this, seconds, status, description](FakeSharedService::Request& request) {
            loop.postAfter(seconds, [completion = request.completion, status, description] {
                completion(status, description);
            });
        };
    }

    std::string failure(const std::string& secret = password)
    {
        try {
            addSharedRecoveryCredential(loop, service, SecretBytes::copyOf(secret), account);
        } catch (const ProofError& error) {
            return error.what();
        }
        return "";
    }
};

}

TEST_F(SharedCredential, AcceptedCredentialReturnsOnceTheAnswerArrives)
{
    answerAfter(12.3, errSecSuccess, std::nullopt);
    double start = clock.now();
    EXPECT_EQ(failure(), "");
    ASSERT_EQ(service.requests.size(), 1u);
    EXPECT_EQ(service.requests[0].domain, std::string(recoveryCredentialDomain));
    EXPECT_EQ(service.requests[0].account, account);
    EXPECT_EQ(service.requests[0].password, password);
    // Waited in slices: returned within one slice of the answer.
    EXPECT_GE(clock.now() - start, 12.3 - 1e-9);
    EXPECT_LT(clock.now() - start, 12.3 + 0.1 + 1e-9);
}

TEST_F(SharedCredential, AnAnswerFromAnotherThreadReachesTheWaiterOnTheMainLoop)
{
    std::thread answering;
    service.onRequest = [&](FakeSharedService::Request& request) {
        answering = std::thread([completion = request.completion] { completion(errSecSuccess, std::nullopt); });
    };
    SystemClock realClock;
    HeadlessMainLoop realLoop(realClock);
    EXPECT_NO_THROW(addSharedRecoveryCredential(realLoop, service, SecretBytes::copyOf(password), account));
    answering.join();
}

TEST_F(SharedCredential, RejectionsCarryTheServiceDescriptionOrTheCode)
{
    struct Case {
        OSStatus status;
        std::optional<std::string> description;
        std::string message;
    };
    const Case cases[] = {
        {-128, "The operation couldn’t be completed. (OSStatus error -128.)",
         "Passwords rejected the shared recovery credential: The operation couldn’t be completed. (OSStatus error "
         "-128.)"},
        {-25293, std::nullopt, "Passwords rejected the shared recovery credential: CFError code -25293"},
        {1, std::string(), "Passwords rejected the shared recovery credential: CFError code 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        answerAfter(0.5, c.status, c.description);
        EXPECT_EQ(failure(), c.message);
    }
}

TEST_F(SharedCredential, NoAnswerWithinThreeHundredSecondsTimesOutAndALateAnswerIsHarmless)
{
    double start = clock.now();
    EXPECT_EQ(failure(), "Passwords shared-credential request timed out");
    EXPECT_GE(clock.now() - start, ceremonyTimeout);
    EXPECT_LT(clock.now() - start, ceremonyTimeout + 0.2);

    // The late answer finds the answer the waiter left (AddressSanitizer and
    // its leak check watch it) and nothing else happens.
    ASSERT_EQ(service.requests.size(), 1u);
    bool ran = false;
    service.requests[0].completion(errSecSuccess, std::nullopt);
    loop.post([&] { ran = true; });
    loop.runUntil([&] { return ran; });
}

TEST_F(SharedCredential, AnAnswerJustBeforeTheDeadlineStillCounts)
{
    answerAfter(ceremonyTimeout - 0.05, -128, std::nullopt);
    EXPECT_EQ(failure(), "Passwords rejected the shared recovery credential: CFError code -128");
}

TEST_F(SharedCredential, PasswordsTheServiceCannotCarryAreRefusedBeforeAnythingIsSent)
{
    EXPECT_EQ(failure(std::string("\xC3\x28", 2)), "recovery password was not valid UTF-8");
    EXPECT_EQ(failure(std::string("abc\0def", 7)), "recovery password contains a NUL character");
    EXPECT_TRUE(service.requests.empty());
}

TEST_F(SharedCredential, AKeychainThatRefusesTheRequestIsReportedAsTheRejection)
{
    EXPECT_THROW(
        {
            try {
                addSharedRecoveryCredential(loop, unavailable::keychain(), SecretBytes::copyOf(password), account);
            } catch (const ProofError& error) {
                EXPECT_EQ(std::string(error.what()),
                          "Passwords rejected the shared recovery credential: this platform was built without a "
                          "keychain");
                throw;
            }
        },
        ProofError);
}

TEST_F(SharedCredential, AnAnswerGivenInsideTheRequestStillArrivesThroughTheMainLoop)
{
    bool answeredInside = false;
    service.onRequest = [&](FakeSharedService::Request& request) {
        request.completion(-5, "synchronous");
        answeredInside = true;
    };
    std::vector<std::string> order;
    // A task queued before the request runs before the answer is taken.
    loop.post([&] { order.push_back("earlier task"); });
    EXPECT_EQ(failure(), "Passwords rejected the shared recovery credential: synchronous");
    EXPECT_TRUE(answeredInside);
    EXPECT_EQ(order, (std::vector<std::string> {"earlier task"}));
}
