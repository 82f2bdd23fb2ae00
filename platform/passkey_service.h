#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ferrolatch {

class Window;

using Bytes = std::vector<std::uint8_t>;

enum class UserVerification { Required, Preferred, Discouraged };

// PRF evaluation inputs. A salt is not secret: it is stored in the manifest.
struct PrfInputValues {
    Bytes saltInput1;
    std::optional<Bytes> saltInput2;
};

struct PasskeyRegistrationRequest {
    std::string relyingPartyIdentifier;
    Bytes challenge;
    std::string name;        // the user name
    Bytes userID;
    std::string displayName;
    UserVerification userVerification = UserVerification::Preferred;
    std::optional<PrfInputValues> prf; // evaluate the PRF during registration
};

struct PasskeyAssertionRequest {
    std::string relyingPartyIdentifier;
    Bytes challenge;
    std::vector<Bytes> allowedCredentials; // empty: any credential of the relying party
    UserVerification userVerification = UserVerification::Preferred;
    std::map<Bytes, PrfInputValues> perCredentialPrfInputValues;
};

using PasskeyRequest = std::variant<PasskeyRegistrationRequest, PasskeyAssertionRequest>;

struct PrfOutput {
    std::optional<SecretBytes> first;
    std::optional<SecretBytes> second;
};

// What the service answered with.
struct PasskeyCredential {
    enum class Kind { PlatformRegistration, PlatformAssertion, Other } kind = Kind::Other;
    Bytes credentialID;
    std::optional<PrfOutput> prf; // absent: the PRF was not evaluated
};

// The requester. The service calls exactly one of the two completions, on the
// main loop, unless the authorization was cancelled or destroyed first.
class PasskeyAuthorizationDelegate {
public:
    virtual ~PasskeyAuthorizationDelegate() = default;
    virtual Window& presentationAnchor() = 0;
    virtual void didCompleteWithAuthorization(PasskeyCredential credential) = 0;
    // The service's own error, typically a PlatformError in authorizationErrorDomain.
    virtual void didCompleteWithError(std::exception_ptr error) = 0;
};

// One request in flight. cancel() makes the service answer with its canceled
// error (on the main loop) if it has not answered yet; destroying the handle
// guarantees the delegate is never called afterwards.
class PasskeyAuthorization {
public:
    virtual ~PasskeyAuthorization() = default;
    virtual void cancel() = 0;
};

// The platform passkey service with the PRF extension. performRequest never
// answers synchronously: the answer always arrives later on the main loop.
class PasskeyService {
public:
    virtual ~PasskeyService() = default;
    virtual std::unique_ptr<PasskeyAuthorization> performRequest(const PasskeyRequest& request,
                                                                 PasskeyAuthorizationDelegate& delegate) = 0;
};

// How the platform service reports its failures.
inline constexpr const char* authorizationErrorDomain = "com.apple.AuthenticationServices.AuthorizationError";

enum AuthorizationErrorCode : long {
    authorizationErrorUnknown = 1000,
    authorizationErrorCanceled = 1001,
    authorizationErrorInvalidResponse = 1002,
    authorizationErrorNotHandled = 1003,
    authorizationErrorFailed = 1004,
    authorizationErrorNotInteractive = 1005,
};

}
