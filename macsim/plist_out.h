#pragma once

#include <cstdint>
#include <map>
#include <memory>
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

}
