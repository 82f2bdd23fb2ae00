#include "platform/macsim/macsim_preferences.h"

#include "platform/macsim/binary_property_list.h"

#include "common/property_list_guard.h"
#include "common/errors.h"
#include "platform/posix/atomic_write.h"
#include "platform/posix/file_descriptor.h"

#include <plist/plist.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

// Deeper nesting than any real preference is refused rather than risking the
// stack on a hostile file.
constexpr int deepestNesting = 64;

constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";

struct OwnedNode {
    plist_t node = nullptr;
    OwnedNode() = default;
    explicit OwnedNode(plist_t adopted) : node(adopted) {}
    OwnedNode(const OwnedNode&) = delete;
    OwnedNode& operator=(const OwnedNode&) = delete;
    ~OwnedNode()
    {
        if (node)
            plist_free(node);
    }
    plist_t release()
    {
        plist_t released = node;
        node = nullptr;
        return released;
    }
};

PlatformError unreadableValue()
{
    return PlatformError("NSCocoaErrorDomain", 3840,
                         "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
}

// Parses XML this adapter wrote itself (a carried value).
plist_t parse(std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return nullptr;
    plist_t node = nullptr;
    plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
    return node;
}

std::string toXML(plist_t node)
{
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml)
        throw unreadableValue();
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

PreferenceValue::Dictionary toDictionary(plist_t node, int depth);

PreferenceValue toValue(plist_t node, int depth)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PreferenceValue(text ? std::string(text, static_cast<std::size_t>(length)) : std::string());
    }
    case PLIST_DICT:
        return PreferenceValue(toDictionary(node, depth + 1));
    default: {
        OwnedNode copy(plist_copy(node));
        return PreferenceValue(PreferenceValue::Other {toXML(copy.node)});
    }
    }
}

PreferenceValue::Dictionary toDictionary(plist_t node, int depth)
{
    if (depth > deepestNesting)
        throw unreadableValue();
    PreferenceValue::Dictionary dictionary;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        if (!value) {
            std::free(key);
            break;
        }
        std::string name(key ? key : "");
        std::free(key);
        dictionary.insert_or_assign(std::move(name), toValue(value, depth));
    }
    std::free(iterator);
    return dictionary;
}

plist_t toNode(const PreferenceValue& value, int depth);

plist_t toDictionaryNode(const PreferenceValue::Dictionary& dictionary, int depth)
{
    if (depth > deepestNesting)
        throw unreadableValue();
    OwnedNode node(plist_new_dict());
    for (const auto& [key, item] : dictionary)
        plist_dict_set_item(node.node, key.c_str(), toNode(item, depth + 1));
    return node.release();
}

plist_t toNode(const PreferenceValue& value, int depth)
{
    if (const std::string* text = value.string())
        return plist_new_string(text->c_str());
    if (const PreferenceValue::Dictionary* dictionary = value.dictionary())
        return toDictionaryNode(*dictionary, depth);
    const PreferenceValue::Other* other = value.other();
    plist_t carried = other ? parse(other->encoded) : nullptr;
    if (!carried)
        throw unreadableValue();
    return carried;
}

struct FileBytes {
    std::optional<std::string> bytes;
    int error = 0; // errno when bytes is empty
};

FileBytes readWholeFile(const std::string& path)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen())
        return {std::nullopt, errno};
    std::string bytes;
    char buffer[16384];
    for (;;) {
        ssize_t count = read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return {std::nullopt, errno};
        if (count == 0)
            return {std::move(bytes), 0};
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

// A domain names one file; anything that could reach elsewhere is refused.
bool isPlainDomain(std::string_view domain)
{
    return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string_view::npos
        && domain.find('\0') == std::string_view::npos;
}

}

std::optional<PreferenceValue::Dictionary> decodePreferenceDomain(std::string_view bytes)
{
    try {
        if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
        OwnedNode root;
        if (bytes.starts_with("bplist")) {
            // The form macOS itself writes; read by our own bounded reader,
            // never by libplist's.
            root.node = parseBinaryPropertyList(bytes, deepestNesting);
        } else {
            // A byte-order mark is allowed before XML, as a Mac's parser allows it.
            if (bytes.starts_with(utf8ByteOrderMark))
                bytes.remove_prefix(utf8ByteOrderMark.size());
            if (!isSafePropertyListXML(bytes, deepestNesting))
                return std::nullopt;
            plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root.node);
        }
        if (!root.node || plist_get_node_type(root.node) != PLIST_DICT)
            return std::nullopt;
        return toDictionary(root.node, 0);
    } catch (const PlatformError&) {
        return std::nullopt;
    }
}

std::string encodePreferenceDomain(const PreferenceValue::Dictionary& domain)
{
    OwnedNode root(toDictionaryNode(domain, 0));
    return toXML(root.node);
}

MacsimPreferences::MacsimPreferences(std::string preferencesDirectory) : m_directory(std::move(preferencesDirectory)) {}

std::string MacsimPreferences::domainFile(std::string_view domain) const
{
    return m_directory + "/" + std::string(domain) + ".plist";
}

std::optional<PreferenceValue> MacsimPreferences::copyValue(std::string_view key, std::string_view domain)
{
    if (!isPlainDomain(domain))
        return std::nullopt;
    if (auto removed = m_removed.find(domain); removed != m_removed.end() && removed->second.contains(key))
        return std::nullopt;
    if (auto staged = m_staged.find(domain); staged != m_staged.end())
        if (auto value = staged->second.find(key); value != staged->second.end())
            return value->second;
    FileBytes file = readWholeFile(domainFile(domain));
    if (!file.bytes)
        return std::nullopt;
    std::optional<PreferenceValue::Dictionary> stored = decodePreferenceDomain(*file.bytes);
    if (!stored)
        return std::nullopt;
    auto value = stored->find(key);
    if (value == stored->end())
        return std::nullopt;
    return value->second;
}

void MacsimPreferences::setValue(std::string_view key, const PreferenceValue& value, std::string_view domain)
{
    auto staged = m_staged.find(domain);
    if (staged == m_staged.end())
        staged = m_staged.emplace(std::string(domain), PreferenceValue::Dictionary {}).first;
    staged->second.insert_or_assign(std::string(key), value);
    if (auto removed = m_removed.find(domain); removed != m_removed.end())
        if (auto entry = removed->second.find(key); entry != removed->second.end())
            removed->second.erase(entry);
}

void MacsimPreferences::removeValue(std::string_view key, std::string_view domain)
{
    if (auto staged = m_staged.find(domain); staged != m_staged.end())
        if (auto value = staged->second.find(key); value != staged->second.end())
            staged->second.erase(value);
    auto removed = m_removed.find(domain);
    if (removed == m_removed.end())
        removed = m_removed.emplace(std::string(domain), std::set<std::string, std::less<>> {}).first;
    removed->second.insert(std::string(key));
}

bool MacsimPreferences::synchronize(std::string_view domain)
{
    if (!isPlainDomain(domain))
        return false;
    auto staged = m_staged.find(domain);
    auto removed = m_removed.find(domain);
    if (staged == m_staged.end() && removed == m_removed.end())
        return true;

    std::error_code ignored;
    std::filesystem::create_directories(m_directory, ignored);
    // Writers of the same directory (the agent, a set-up child, the tools)
    // take turns, so none of them loses another's keys.
    FileDescriptor directory(open(m_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.isOpen() || flock(directory.get(), LOCK_EX) != 0)
        return false;

    std::string path = domainFile(domain);
    PreferenceValue::Dictionary merged;
    FileBytes file = readWholeFile(path);
    if (file.bytes && !file.bytes->empty()) {
        // What cannot be read is never replaced: it may hold other volumes'
        // markers and the user's own settings. The caller reports the failure.
        std::optional<PreferenceValue::Dictionary> stored = decodePreferenceDomain(*file.bytes);
        if (!stored)
            return false;
        merged = std::move(*stored);
    } else if (!file.bytes && file.error != ENOENT) {
        // Never overwrite what could not be read.
        return false;
    }
    if (staged != m_staged.end())
        for (const auto& [key, value] : staged->second)
            merged.insert_or_assign(key, value);
    if (removed != m_removed.end())
        for (const std::string& key : removed->second)
            if (auto entry = merged.find(key); entry != merged.end())
                merged.erase(entry);

    std::string encoded;
    try {
        encoded = encodePreferenceDomain(merged);
    } catch (const PlatformError&) {
        return false;
    }
    if (writeThroughTemporary(path, encoded, 0600) != 0)
        return false;
    if (staged != m_staged.end())
        m_staged.erase(staged);
    if (removed != m_removed.end())
        m_removed.erase(removed);
    return true;
}

}
