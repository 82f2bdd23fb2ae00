#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The Security framework's result codes: 32-bit, 0 for success.
using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

// Attribute values as the Security framework spells them.
inline constexpr std::string_view kSecClassInternetPassword = "inet";
inline constexpr std::string_view kSecClassGenericPassword = "genp";
inline constexpr std::string_view kSecAttrProtocolHTTPS = "htps";
inline constexpr std::string_view kSecAttrAuthenticationTypeHTMLForm = "form";
inline constexpr std::string_view kSecAttrAuthenticationTypeDefault = "dflt";
inline constexpr std::string_view kSecAttrAccessibleWhenUnlocked = "ak";

// One attribute set: an item's attributes, a query, or the changes of an
// update. An absent attribute is not part of the set. In a query, an absent
// synchronizable matches only items that do not synchronize, as on a Mac.
struct KeychainAttributes {
    std::optional<std::string> itemClass;          // kSecClass
    std::optional<std::string> account;            // kSecAttrAccount
    std::optional<std::string> server;             // kSecAttrServer
    std::optional<std::string> protocol;           // kSecAttrProtocol
    std::optional<std::string> authenticationType; // kSecAttrAuthenticationType
    std::optional<std::string> path;               // kSecAttrPath
    std::optional<bool> synchronizable;            // kSecAttrSynchronizable
    std::optional<std::string> label;              // kSecAttrLabel
    std::optional<std::string> description;        // kSecAttrDescription
    std::optional<std::string> comment;            // kSecAttrComment
    std::optional<bool> isInvisible;               // kSecAttrIsInvisible
    std::optional<std::string> accessible;         // kSecAttrAccessible
    std::optional<SecretBytes> valueData;          // kSecValueData

    // A copy of the set, the value included (on a wiped copy of its own).
    KeychainAttributes clone() const;
};

inline KeychainAttributes KeychainAttributes::clone() const
{
    KeychainAttributes copy {itemClass, account,     server,    protocol, authenticationType, path, synchronizable,
                             label,     description, comment,   isInvisible, accessible,      std::nullopt};
    if (valueData)
        copy.valueData = valueData->clone();
    return copy;
}

// The read-back form of SecItemCopyMatching: one item's data.
struct KeychainQuery {
    KeychainAttributes attributes;
    bool returnData = false; // kSecReturnData
    bool matchLimitOne = true; // kSecMatchLimitOne
};

// The answer of the shared-web-credential service: 0 and no description on
// success, else the error's code and, when it gave one, its description.
using SharedWebCredentialCompletion = std::function<void(OSStatus code, std::optional<std::string> description)>;

// SecItem and shared web credentials. The SecItem calls answer at once with a
// status; the keychain file belongs to the system, which keeps values private.
class Keychain {
public:
    virtual ~Keychain() = default;

    // SecItemAdd: errSecDuplicateItem when an item with the same identity exists.
    virtual OSStatus add(const KeychainAttributes& attributes) = 0;
    // SecItemUpdate: changes every item the query matches.
    virtual OSStatus update(const KeychainAttributes& query, const KeychainAttributes& changes) = 0;
    // SecItemCopyMatching: on success with returnData, data holds the first
    // match's value.
    virtual OSStatus copyMatching(const KeychainQuery& query, std::optional<SecretBytes>& data) = 0;
    // SecItemDelete: every matching item; errSecItemNotFound when there was none.
    virtual OSStatus deleteItems(const KeychainAttributes& query) = 0;
    // SecCopyErrorMessageString: the platform's text for a status, if it has one.
    virtual std::optional<std::string> copyErrorMessageString(OSStatus status) = 0;

    // SecAddSharedWebCredential: asks the user to save or update the password
    // for the domain and account. Never answers from inside the call; the
    // completion runs exactly once, on any thread.
    virtual void addSharedWebCredential(const std::string& domain, const std::string& account,
                                        const SecretBytes& password, SharedWebCredentialCompletion completion) = 0;
};

}
