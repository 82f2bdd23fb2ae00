#pragma once

#include "platform/preferences.h"

#include <map>
#include <set>
#include <string>

namespace ferrolatch {

// The virtual Mac's per-user preferences: each domain is a property list
// named after it in the user's Library/Preferences directory, read in XML or
// binary form and written as XML. A file that cannot be read is never
// replaced: synchronize() fails instead. Values set are
// staged until synchronize(), which merges them into what the file holds then
// (other processes write the same domains), under a lock on the directory,
// and replaces the file atomically.
class MacsimPreferences final : public Preferences {
public:
    explicit MacsimPreferences(std::string preferencesDirectory);

    std::optional<PreferenceValue> copyValue(std::string_view key, std::string_view domain) override;
    void setValue(std::string_view key, const PreferenceValue& value, std::string_view domain) override;
    void removeValue(std::string_view key, std::string_view domain) override;
    bool synchronize(std::string_view domain) override;

    // The file that holds a domain.
    std::string domainFile(std::string_view domain) const;

private:
    std::string m_directory;
    std::map<std::string, PreferenceValue::Dictionary, std::less<>> m_staged;
    std::map<std::string, std::set<std::string, std::less<>>, std::less<>> m_removed;
};

// The top-level dictionary of a domain file's bytes, XML (a byte-order mark
// allowed) or binary; empty when the bytes are not a property list whose root
// is a dictionary, or one too deep or large to read safely. Strings and dictionaries
// are read as such, anything else is kept in its XML form.
std::optional<PreferenceValue::Dictionary> decodePreferenceDomain(std::string_view bytes);
// The XML property list of a domain. Fails with a PlatformError when a carried
// value no longer parses.
std::string encodePreferenceDomain(const PreferenceValue::Dictionary& domain);

}
