#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ferrolatch {

// A parsed property list, as the platform's parser yields it: strings, booleans,
// integers, reals, dates, data, arrays and dictionaries with string keys.
class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue, std::less<>>;
    struct Data {
        std::string bytes;
        bool operator==(const Data&) const = default;
    };
    struct Date {
        double secondsSinceReference = 0; // since 2001-01-01T00:00:00Z, as a Mac counts
        bool operator==(const Date&) const = default;
    };

    PlistValue() : m_value(Dictionary {}) {}
    PlistValue(std::string text) : m_value(std::move(text)) {}
    PlistValue(const char* text) : m_value(std::string(text)) {}
    PlistValue(bool flag) : m_value(flag) {}
    PlistValue(std::int64_t number) : m_value(number) {}
    PlistValue(int number) : m_value(std::int64_t {number}) {}
    PlistValue(double number) : m_value(number) {}
    PlistValue(Data data) : m_value(std::move(data)) {}
    PlistValue(Date date) : m_value(date) {}
    PlistValue(Array array) : m_value(std::move(array)) {}
    PlistValue(Dictionary dictionary) : m_value(std::move(dictionary)) {}

    const std::string* string() const { return std::get_if<std::string>(&m_value); }
    const bool* boolean() const { return std::get_if<bool>(&m_value); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&m_value); }
    const double* real() const { return std::get_if<double>(&m_value); }
    const Array* array() const { return std::get_if<Array>(&m_value); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&m_value); }

    bool operator==(const PlistValue&) const = default;

private:
    std::variant<Dictionary, std::string, bool, std::int64_t, double, Data, Date, Array> m_value;
};

// Parses XML property-list text, the form the system tools print. Anything
// else (binary lists included, and nesting deeper than any tool output) fails
// with the platform's parse error, a PlatformError.
PlistValue parsePropertyList(std::string_view bytes);

// Typed look-ups in a dictionary: empty when the key is absent or holds another type.
const std::string* plistString(const PlistValue::Dictionary& dictionary, std::string_view key);
std::optional<bool> plistBoolean(const PlistValue::Dictionary& dictionary, std::string_view key);
const PlistValue::Array* plistArray(const PlistValue::Dictionary& dictionary, std::string_view key);
// An integer or a real, as a signed 64-bit integer (a real is truncated and clamped).
std::optional<std::int64_t> plistNumber(const PlistValue::Dictionary& dictionary, std::string_view key);

// The array's elements as dictionaries, or empty when any element is not one.
std::optional<std::vector<const PlistValue::Dictionary*>> dictionariesOf(const PlistValue::Array& array);

}
