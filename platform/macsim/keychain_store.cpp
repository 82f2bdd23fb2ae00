#include "platform/macsim/keychain_store.h"

#include "common/hex.h"
#include "common/json_bounds.h"
#include "common/on_failure.h"
#include "platform/posix/atomic_write.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

using nlohmann::json;

constexpr std::string_view fileFormat = "ferrolatch-macsim-keychain 1";
constexpr std::string_view valueContext = "ferrolatch-macsim-keychain value";
constexpr std::size_t keySize = 32;
constexpr std::size_t nonceSize = 12;
constexpr std::size_t tagSize = 16;

[[noreturn]] void fail(OSStatus status)
{
    throw KeychainStatusFailure {status};
}

// Reads a whole file; nothing when it does not exist.
std::optional<std::string> readWholeFile(const std::string& path)
{
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return std::nullopt;
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        fail(errSecIO);
    std::ostringstream contents;
    contents << stream.rdbuf();
    if (stream.bad())
        fail(errSecIO);
    return contents.str();
}

void writeWholeFile(const std::string& path, std::string_view text)
{
    if (writeThroughTemporary(path, text, 0600) != 0)
        fail(errSecIO);
}

// The text attributes by their names in the file.
struct TextAttribute {
    const char* name;
    std::optional<std::string> KeychainAttributes::*member;
};
constexpr TextAttribute textAttributes[] = {
    {"class", &KeychainAttributes::itemClass},
    {"account", &KeychainAttributes::account},
    {"server", &KeychainAttributes::server},
    {"protocol", &KeychainAttributes::protocol},
    {"authenticationType", &KeychainAttributes::authenticationType},
    {"path", &KeychainAttributes::path},
    {"label", &KeychainAttributes::label},
    {"description", &KeychainAttributes::description},
    {"comment", &KeychainAttributes::comment},
    {"accessible", &KeychainAttributes::accessible},
};

struct FlagAttribute {
    const char* name;
    std::optional<bool> KeychainAttributes::*member;
};
constexpr FlagAttribute flagAttributes[] = {
    {"synchronizable", &KeychainAttributes::synchronizable},
    {"invisible", &KeychainAttributes::isInvisible},
};

bool decodeHex(std::string_view text, std::vector<std::uint8_t>& out)
{
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t index = 0; index < text.size(); index += 2) {
        int high = digit(text[index]);
        int low = digit(text[index + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return true;
}

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

json readFaults(const std::string& path)
{
    std::optional<std::string> text = readWholeFile(path);
    if (!text)
        return json::array();
    json faults = json::parse(*text, nullptr, false);
    return faults.is_array() ? faults : json::array();
}

// Serialises the file and the faults between the processes of one virtual Mac.
int takeLock(const KeychainStoreLocation& location)
{
    ::mkdir(location.keychainDirectory.c_str(), 0700); // present on an initialised virtual Mac
    std::string path = location.filePath() + ".lock";
    int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0)
        fail(errSecNotAvailable);
    while (::flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(descriptor);
            fail(errSecNotAvailable);
        }
    }
    return descriptor;
}

}

KeychainStoreLocation keychainStoreLocation(const std::string& sysroot, const std::string& loginName)
{
    return {sysroot + "/Users/" + loginName + "/Library/Keychains", sysroot + "/private/var/db/macsim/keychain.key",
            sysroot + "/private/var/db/macsim/keychain-faults.json"};
}

std::string_view keychainOperationName(KeychainOperation operation)
{
    switch (operation) {
    case KeychainOperation::Add:
        return "add";
    case KeychainOperation::Update:
        return "update";
    case KeychainOperation::Copy:
        return "copy";
    case KeychainOperation::Delete:
        return "delete";
    }
    return "";
}

std::optional<KeychainOperation> keychainOperationNamed(std::string_view name)
{
    for (KeychainOperation operation :
         {KeychainOperation::Add, KeychainOperation::Update, KeychainOperation::Copy, KeychainOperation::Delete})
        if (keychainOperationName(operation) == name)
            return operation;
    return std::nullopt;
}

bool keychainQueryMatches(const KeychainAttributes& query, const KeychainAttributes& item)
{
    for (const TextAttribute& attribute : textAttributes) {
        const auto& wanted = query.*attribute.member;
        if (wanted && item.*attribute.member != wanted)
            return false;
    }
    if (query.isInvisible && item.isInvisible.value_or(false) != *query.isInvisible)
        return false;
    return item.synchronizable.value_or(false) == query.synchronizable.value_or(false);
}

bool sameKeychainIdentity(const KeychainAttributes& first, const KeychainAttributes& second)
{
    // An absent attribute of the primary key has its empty default, as on a Mac.
    auto text = [](const std::optional<std::string>& value) { return value.value_or(""); };
    if (text(first.itemClass) != text(second.itemClass) || text(first.account) != text(second.account)
        || first.synchronizable.value_or(false) != second.synchronizable.value_or(false))
        return false;
    if (text(first.itemClass) != kSecClassInternetPassword)
        return true;
    return text(first.server) == text(second.server) && text(first.protocol) == text(second.protocol)
        && text(first.authenticationType) == text(second.authenticationType) && text(first.path) == text(second.path);
}

namespace {

json attributesObject(const KeychainAttributes& attributes)
{
    json entry = json::object();
    for (const TextAttribute& attribute : textAttributes)
        if (const auto& value = attributes.*attribute.member)
            entry[attribute.name] = *value;
    for (const FlagAttribute& attribute : flagAttributes)
        if (const auto& value = attributes.*attribute.member)
            entry[attribute.name] = *value;
    return entry;
}

}

std::string encodeKeychainFile(const std::vector<StoredKeychainItem>& items)
{
    json list = json::array();
    for (const StoredKeychainItem& item : items) {
        json entry = attributesObject(item.attributes);
        entry["sealedValue"] = item.sealedValue;
        list.push_back(std::move(entry));
    }
    return json {{"format", fileFormat}, {"items", list}}.dump(2) + "\n";
}

std::string encodeKeychainListing(const std::vector<StoredKeychainItem>& items)
{
    json list = json::array();
    for (const StoredKeychainItem& item : items)
        list.push_back(attributesObject(item.attributes));
    return list.dump(2);
}

std::vector<StoredKeychainItem> decodeKeychainFile(std::string_view text)
{
    if (text.size() > 16 * 1024 * 1024 || jsonNestsDeeperThan(text, 8))
        fail(errSecInvalidKeychain);
    json file = json::parse(text, nullptr, false);
    if (!file.is_object() || file.value("format", json()) != fileFormat || !file.contains("items")
        || !file["items"].is_array())
        fail(errSecInvalidKeychain);
    std::vector<StoredKeychainItem> items;
    for (const json& entry : file["items"]) {
        if (!entry.is_object())
            fail(errSecInvalidKeychain);
        StoredKeychainItem item;
        for (const TextAttribute& attribute : textAttributes) {
            if (!entry.contains(attribute.name))
                continue;
            if (!entry[attribute.name].is_string())
                fail(errSecInvalidKeychain);
            item.attributes.*attribute.member = entry[attribute.name].get<std::string>();
        }
        for (const FlagAttribute& attribute : flagAttributes) {
            if (!entry.contains(attribute.name))
                continue;
            if (!entry[attribute.name].is_boolean())
                fail(errSecInvalidKeychain);
            item.attributes.*attribute.member = entry[attribute.name].get<bool>();
        }
        if (!item.attributes.itemClass || !entry.contains("sealedValue") || !entry["sealedValue"].is_string())
            fail(errSecInvalidKeychain);
        item.sealedValue = entry["sealedValue"].get<std::string>();
        items.push_back(std::move(item));
    }
    return items;
}

KeychainFile::KeychainFile(const KeychainStoreLocation& location) : m_location(location)
{
    m_lock = takeLock(m_location);
    auto unlock = onFailure([this] { ::close(m_lock); });
    if (std::optional<std::string> text = readWholeFile(m_location.filePath()))
        m_items = decodeKeychainFile(*text);
    unlock.dismiss();
}

KeychainFile::~KeychainFile()
{
    ::close(m_lock);
}

void KeychainFile::save()
{
    writeWholeFile(m_location.filePath(), encodeKeychainFile(m_items));
}

const SecretBytes& KeychainFile::macKey()
{
    if (m_key)
        return *m_key;
    // Made once per virtual Mac, on first use, under the keychain's lock.
    SecretBytes key(keySize);
    int descriptor = ::open(m_location.macKeyPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0 && errno == ENOENT) {
        if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1)
            fail(errSecNotAvailable);
        if (writeThroughTemporary(m_location.macKeyPath, key.bytes(), 0600, Placement::KeepExisting) != 0)
            fail(errSecNotAvailable);
        m_key = std::move(key);
        return *m_key;
    }
    if (descriptor < 0)
        fail(errSecNotAvailable);
    ssize_t count = ::read(descriptor, key.data(), key.size());
    ::close(descriptor);
    if (count != static_cast<ssize_t>(keySize))
        fail(errSecNotAvailable);
    m_key = std::move(key);
    return *m_key;
}

std::string KeychainFile::seal(const SecretBytes& value)
{
    const SecretBytes& key = macKey();
    std::vector<std::uint8_t> out(nonceSize + value.size() + tagSize);
    if (RAND_bytes(out.data(), static_cast<int>(nonceSize)) != 1)
        fail(errSecNotAvailable);
    Cipher context(EVP_CIPHER_CTX_new());
    int length = 0;
    int finalLength = 0;
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), out.data()) != 1
        || EVP_EncryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(valueContext.data()),
                             static_cast<int>(valueContext.size()))
            != 1
        || EVP_EncryptUpdate(context.get(), out.data() + nonceSize, &length, value.data(),
                             static_cast<int>(value.size()))
            != 1
        || EVP_EncryptFinal_ex(context.get(), out.data() + nonceSize + length, &finalLength) != 1
        || EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize),
                               out.data() + nonceSize + value.size())
            != 1)
        fail(errSecNotAvailable);
    return hexString(out);
}

SecretBytes KeychainFile::open(const std::string& sealed)
{
    std::vector<std::uint8_t> in;
    if (!decodeHex(sealed, in) || in.size() < nonceSize + tagSize)
        fail(errSecDecode);
    const SecretBytes& key = macKey();
    std::size_t size = in.size() - nonceSize - tagSize;
    SecretBytes value(size);
    Cipher context(EVP_CIPHER_CTX_new());
    int length = 0;
    int finalLength = 0;
    if (!context || EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), in.data()) != 1
        || EVP_DecryptUpdate(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(valueContext.data()),
                             static_cast<int>(valueContext.size()))
            != 1
        || EVP_DecryptUpdate(context.get(), value.data(), &length, in.data() + nonceSize, static_cast<int>(size)) != 1
        || EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                               in.data() + nonceSize + size)
            != 1
        || EVP_DecryptFinal_ex(context.get(), value.data() + length, &finalLength) != 1)
        fail(errSecDecode); // another Mac's key, or a damaged value
    return value;
}

std::optional<OSStatus> KeychainFile::takeFault(KeychainOperation operation)
{
    json faults = readFaults(m_location.faultsPath);
    for (auto entry = faults.begin(); entry != faults.end(); ++entry) {
        if (!entry->is_object() || entry->value("operation", "") != keychainOperationName(operation)
            || !(*entry)["status"].is_number_integer())
            continue;
        OSStatus status = (*entry)["status"].get<OSStatus>();
        faults.erase(entry);
        writeWholeFile(m_location.faultsPath, faults.dump() + "\n");
        return status;
    }
    return std::nullopt;
}

void addKeychainFault(const KeychainStoreLocation& location, KeychainOperation operation, OSStatus status)
{
    int lock = takeLock(location);
    auto unlock = atScopeExit([lock] { ::close(lock); });
    json faults = readFaults(location.faultsPath);
    faults.push_back({{"operation", keychainOperationName(operation)}, {"status", status}});
    writeWholeFile(location.faultsPath, faults.dump() + "\n");
}

void clearKeychainFaults(const KeychainStoreLocation& location)
{
    int lock = takeLock(location);
    ::unlink(location.faultsPath.c_str());
    ::close(lock);
}

}
