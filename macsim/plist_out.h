#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace macsim {

// A property-list value to print. Dictionaries keep their keys sorted, as the
// Mac's tools print them.
struct Plist {
    using Array = std::vector<Plist>;
    using Dictionary = std::map<std::string, Plist>;
    std::variant<std::string, bool, std::uint64_t, std::shared_ptr<Array>, std::shared_ptr<Dictionary>> value;

    Plist() : value(std::make_shared<Dictionary>()) {}
    Plist(std::string text) : value(std::move(text)) {}
    Plist(const char* text) : value(std::string(text)) {}
    Plist(bool flag) : value(flag) {}
    Plist(std::uint64_t number) : value(number) {}
    Plist(int number) : value(static_cast<std::uint64_t>(number)) {}
    Plist(Array array) : value(std::make_shared<Array>(std::move(array))) {}
    Plist(Dictionary dictionary) : value(std::make_shared<Dictionary>(std::move(dictionary))) {}
};

std::string toXml(const Plist& root);

// Reads XML property lists back (strings, booleans, integers, arrays,
// dictionaries; other kinds read as their type's name in a string). Empty when
// the bytes are no property list, or one libplist cannot be trusted with
// (binary, a raw NUL, nesting deeper than any tool prints). Used by open, on
// bundles it did not make, and by the tests.
std::optional<Plist> parsePlist(const std::string& bytes);

const Plist* child(const Plist& dictionary, const std::string& key);
const std::string* asString(const Plist* value);
const bool* asBool(const Plist* value);
const std::uint64_t* asInteger(const Plist* value);
const Plist::Array* asArray(const Plist* value);
const Plist::Dictionary* asDictionary(const Plist* value);

}
