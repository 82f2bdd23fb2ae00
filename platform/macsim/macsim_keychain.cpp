#include "platform/macsim/macsim_keychain.h"

#include "platform/macsim/entitlements.h"

#include <algorithm>

namespace ferrolatch {

namespace {

// The attributes of changes that are set, written over the item's.
void applyChanges(KeychainAttributes& item, const KeychainAttributes& changes)
{
    auto take = [](auto& target, const auto& source) {
        if (source)
            target = source;
    };
    take(item.account, changes.account);
    take(item.server, changes.server);
    take(item.protocol, changes.protocol);
    take(item.authenticationType, changes.authenticationType);
    take(item.path, changes.path);
    take(item.synchronizable, changes.synchronizable);
    take(item.label, changes.label);
    take(item.description, changes.description);
    take(item.comment, changes.comment);
    take(item.isInvisible, changes.isInvisible);
    take(item.accessible, changes.accessible);
}

bool knownClass(const std::optional<std::string>& itemClass)
{
    return itemClass && (*itemClass == kSecClassInternetPassword || *itemClass == kSecClassGenericPassword);
}

// Runs one SecItem call with the file locked; a failure inside is its status.
template <typename Body>
OSStatus withFile(const KeychainStoreLocation& location, KeychainOperation operation, Body&& body)
{
    try {
        KeychainFile file(location);
        if (std::optional<OSStatus> fault = file.takeFault(operation))
            return *fault;
        return body(file);
    } catch (const KeychainStatusFailure& failure) {
        return failure.status;
    }
}

OSStatus addItem(KeychainFile& file, const KeychainAttributes& attributes)
{
    if (!knownClass(attributes.itemClass))
        return errSecParam;
    for (const StoredKeychainItem& item : file.items())
        if (sameKeychainIdentity(item.attributes, attributes))
            return errSecDuplicateItem;
    StoredKeychainItem item;
    item.attributes = attributes.clone();
    item.attributes.valueData.reset();
    if (!item.attributes.accessible)
        item.attributes.accessible = std::string(kSecAttrAccessibleWhenUnlocked);
    item.sealedValue = attributes.valueData ? file.seal(*attributes.valueData) : file.seal(SecretBytes());
    file.items().push_back(std::move(item));
    file.save();
    return errSecSuccess;
}

OSStatus updateItems(KeychainFile& file, const KeychainAttributes& query, const KeychainAttributes& changes)
{
    if (!knownClass(query.itemClass) || changes.itemClass)
        return errSecParam;
    std::vector<StoredKeychainItem>& items = file.items();
    std::vector<StoredKeychainItem> updated;
    bool any = false;
    for (StoredKeychainItem& item : items) {
        StoredKeychainItem next {item.attributes.clone(), item.sealedValue};
        if (keychainQueryMatches(query, item.attributes)) {
            any = true;
            applyChanges(next.attributes, changes);
            if (changes.valueData)
                next.sealedValue = file.seal(*changes.valueData);
        }
        updated.push_back(std::move(next));
    }
    if (!any)
        return errSecItemNotFound;
    for (std::size_t first = 0; first < updated.size(); ++first)
        for (std::size_t second = first + 1; second < updated.size(); ++second)
            if (sameKeychainIdentity(updated[first].attributes, updated[second].attributes))
                return errSecDuplicateItem;
    items = std::move(updated);
    file.save();
    return errSecSuccess;
}

}

std::optional<std::string> securityStatusMessage(OSStatus status)
{
    switch (status) {
    case errSecSuccess:
        return "No error.";
    case errSecIO:
        return "I/O error.";
    case errSecParam:
        return "One or more parameters passed to a function were not valid.";
    case errSecUserCanceled:
        return "User canceled the operation.";
    case errSecNotAvailable:
        return "No keychain is available. You may need to restart your computer.";
    case errSecInvalidKeychain:
        return "The specified keychain is not a valid keychain file.";
    case errSecDuplicateItem:
        return "The specified item already exists in the keychain.";
    case errSecItemNotFound:
        return "The specified item could not be found in the keychain.";
    case errSecDecode:
        return "Unable to decode the provided data.";
    case errSecMissingEntitlement:
        return "A required entitlement isn't present.";
    default:
        return std::nullopt;
    }
}

std::string osStatusErrorDescription(OSStatus status)
{
    return "The operation couldn’t be completed. (OSStatus error " + std::to_string(status) + ".)";
}

MacsimKeychain::MacsimKeychain(MainLoop& loop, Ui& ui, KeychainStoreLocation location, std::string entitlementsPath)
    : m_loop(loop), m_ui(ui), m_location(std::move(location)), m_entitlementsPath(std::move(entitlementsPath))
{
}

OSStatus MacsimKeychain::add(const KeychainAttributes& attributes)
{
    return withFile(m_location, KeychainOperation::Add, [&](KeychainFile& file) { return addItem(file, attributes); });
}

OSStatus MacsimKeychain::update(const KeychainAttributes& query, const KeychainAttributes& changes)
{
    return withFile(m_location, KeychainOperation::Update,
                    [&](KeychainFile& file) { return updateItems(file, query, changes); });
}

OSStatus MacsimKeychain::copyMatching(const KeychainQuery& query, std::optional<SecretBytes>& data)
{
    data.reset();
    return withFile(m_location, KeychainOperation::Copy, [&](KeychainFile& file) {
        if (!knownClass(query.attributes.itemClass))
            return errSecParam;
        for (const StoredKeychainItem& item : file.items()) {
            if (!keychainQueryMatches(query.attributes, item.attributes))
                continue;
            if (query.returnData)
                data = file.open(item.sealedValue);
            return errSecSuccess;
        }
        return errSecItemNotFound;
    });
}

OSStatus MacsimKeychain::deleteItems(const KeychainAttributes& query)
{
    return withFile(m_location, KeychainOperation::Delete, [&](KeychainFile& file) {
        if (!knownClass(query.itemClass))
            return errSecParam;
        std::vector<StoredKeychainItem>& items = file.items();
        auto kept = std::remove_if(items.begin(), items.end(), [&](const StoredKeychainItem& item) {
            return keychainQueryMatches(query, item.attributes);
        });
        if (kept == items.end())
            return errSecItemNotFound;
        items.erase(kept, items.end());
        file.save();
        return errSecSuccess;
    });
}

std::optional<std::string> MacsimKeychain::copyErrorMessageString(OSStatus status)
{
    return securityStatusMessage(status);
}

void MacsimKeychain::addSharedWebCredential(const std::string& domain, const std::string& account,
                                            const SecretBytes& password, SharedWebCredentialCompletion completion)
{
    // The service answers later, after asking the user, never from inside the call.
    auto secret = std::make_shared<SecretBytes>(password.clone());
    m_loop.post([this, domain, account, secret, completion = std::move(completion)] {
        answerSharedWebCredential(domain, account, *secret, completion);
        secret->wipe();
    });
}

void MacsimKeychain::answerSharedWebCredential(const std::string& domain, const std::string& account,
                                               const SecretBytes& password,
                                               const SharedWebCredentialCompletion& completion)
{
    OSStatus status = errSecSuccess;
    std::optional<std::string> description;
    try {
        if (!entitlementsAssociateWebCredentials(m_entitlementsPath, domain)) {
            status = errSecMissingEntitlement;
            description = domain + " not found in com.apple.developer.associated-domains entitlement";
        } else {
            status = askAndSave(domain, account, password);
            if (status != errSecSuccess)
                description = osStatusErrorDescription(status);
        }
    } catch (const std::exception& failure) {
        status = errSecNotAvailable;
        description = failure.what();
    }
    completion(status, description);
}

OSStatus MacsimKeychain::askAndSave(const std::string& domain, const std::string& account, const SecretBytes& password)
{
    Alert consent;
    consent.style = AlertStyle::Informational;
    consent.messageText = "Save a password for " + domain + "?";
    consent.informativeText = "The password for “" + account
        + "” will be saved in your iCloud Keychain and shown in the Passwords app on your devices.";
    consent.buttons = {{"Save Password"}, {"Not Now"}};
    if (m_ui.runModal(consent) != alertFirstButtonReturn)
        return errSecUserCanceled;

    // Saved as the browser saves a password for the site: one item per
    // domain and account, updated in place.
    KeychainAttributes identity;
    identity.itemClass = std::string(kSecClassInternetPassword);
    identity.account = account;
    identity.server = domain;
    identity.protocol = std::string(kSecAttrProtocolHTTPS);
    identity.authenticationType = std::string(kSecAttrAuthenticationTypeHTMLForm);
    identity.synchronizable = true;
    KeychainAttributes item = identity.clone();
    item.label = domain;
    item.valueData = password.clone();
    OSStatus status = add(item);
    if (status == errSecDuplicateItem) {
        KeychainAttributes changes;
        changes.valueData = password.clone();
        status = update(identity, changes);
    }
    return status;
}

}
