#pragma once

#include "common/errors.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace ferrolatch {

// A value in another application's preference domain. The program looks only
// into strings and dictionaries with string keys; every other kind (numbers,
// dates, data, arrays, booleans) is carried exactly as the platform stored it,
// so a dictionary read, changed and written back keeps its other entries intact.
class PreferenceValue {
public:
    using Dictionary = std::map<std::string, PreferenceValue, std::less<>>;
    // A value of a kind the program does not interpret, in the adapter's own
    // encoding; only the adapter that produced it reads it.
    struct Other {
        std::string encoded;
        bool operator==(const Other&) const = default;
    };

    PreferenceValue() : m_value(Dictionary {}) {}
    PreferenceValue(std::string text) : m_value(std::move(text)) {}
    PreferenceValue(const char* text) : m_value(std::string(text)) {}
    PreferenceValue(Dictionary dictionary) : m_value(std::move(dictionary)) {}
    PreferenceValue(Other other) : m_value(std::move(other)) {}

    const std::string* string() const { return std::get_if<std::string>(&m_value); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&m_value); }
    const Other* other() const { return std::get_if<Other>(&m_value); }

    bool operator==(const PreferenceValue&) const = default;

private:
    std::variant<Dictionary, std::string, Other> m_value;
};

// Per-user preferences of any application, reached the way Core Foundation
// reaches them: for the current user and any host. Values set are staged in
// this process until synchronize() writes the domain to storage; copyValue()
// sees staged values first.
class Preferences {
public:
    virtual ~Preferences() = default;

    // The stored (or staged) value of key in domain; empty when there is none
    // or the domain's storage cannot be read.
    virtual std::optional<PreferenceValue> copyValue(std::string_view key, std::string_view domain) = 0;
    virtual void setValue(std::string_view key, const PreferenceValue& value, std::string_view domain) = 0;
    // Stages the key's removal (CFPreferencesSetValue with no value).
    virtual void removeValue(std::string_view key, std::string_view domain) = 0;
    // Writes the staged values of domain to storage, keeping the keys that
    // other processes stored meanwhile. False when storage could not be written.
    virtual bool synchronize(std::string_view domain) = 0;
};

}
