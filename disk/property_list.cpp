#include "disk/property_list.h"

#include "common/property_list_guard.h"
#include "common/errors.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace ferrolatch {

namespace {

// What a Mac's property-list parser reports for bytes that are not a property list.
PlatformError unreadablePropertyList()
{
    return PlatformError("NSCocoaErrorDomain", 3840,
                         "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
}

// Deeper nesting than any tool output is refused instead of risking the stack.
constexpr int deepestNesting = 128;

struct OwnedNode {
    plist_t node = nullptr;
    ~OwnedNode()
    {
        if (node)
            plist_free(node);
    }
};

struct OwnedText {
    char* text = nullptr;
    ~OwnedText() { std::free(text); }
};

PlistValue convert(plist_t node, int depth)
{
    if (depth > deepestNesting)
        throw unreadablePropertyList();
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return PlistValue(flag != 0);
    }
    case PLIST_UINT: {
        // Negative integers come back in two's complement.
        std::uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return PlistValue(static_cast<std::int64_t>(number));
    }
    case PLIST_UID: {
        std::uint64_t number = 0;
        plist_get_uid_val(node, &number);
        return PlistValue(static_cast<std::int64_t>(number));
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return PlistValue(number);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        OwnedText text;
        plist_get_string_val(node, &text.text);
        return PlistValue(std::string(text.text ? text.text : ""));
    }
    case PLIST_DATA: {
        OwnedText data;
        std::uint64_t length = 0;
        plist_get_data_val(node, &data.text, &length);
        return PlistValue(PlistValue::Data {std::string(data.text ? data.text : "", data.text ? length : 0)});
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PlistValue(PlistValue::Date {seconds + microseconds / 1e6});
    }
    case PLIST_ARRAY: {
        PlistValue::Array array;
        std::uint32_t size = plist_array_get_size(node);
        array.reserve(size);
        for (std::uint32_t index = 0; index < size; ++index)
            array.push_back(convert(plist_array_get_item(node, index), depth + 1));
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistValue::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            OwnedText key;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, &key.text, &value);
            if (!value)
                break;
            dictionary.insert_or_assign(std::string(key.text ? key.text : ""), convert(value, depth + 1));
        }
        std::free(iterator);
        return PlistValue(std::move(dictionary));
    }
    case PLIST_NONE:
        break;
    }
    throw unreadablePropertyList();
}

}

PlistValue parsePropertyList(std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        throw unreadablePropertyList();
    auto length = static_cast<std::uint32_t>(bytes.size());
    // The tools print XML with "-plist"; nothing else is let near the parser.
    if (!isSafePropertyListXML(bytes, deepestNesting))
        throw unreadablePropertyList();
    OwnedNode root;
    plist_from_xml(bytes.data(), length, &root.node);
    if (!root.node)
        throw unreadablePropertyList();
    return convert(root.node, 0);
}

const std::string* plistString(const PlistValue::Dictionary& dictionary, std::string_view key)
{
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.string();
}

std::optional<bool> plistBoolean(const PlistValue::Dictionary& dictionary, std::string_view key)
{
    auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.boolean())
        return std::nullopt;
    return *found->second.boolean();
}

const PlistValue::Array* plistArray(const PlistValue::Dictionary& dictionary, std::string_view key)
{
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.array();
}

std::optional<std::int64_t> plistNumber(const PlistValue::Dictionary& dictionary, std::string_view key)
{
    auto found = dictionary.find(key);
    if (found == dictionary.end())
        return std::nullopt;
    if (const std::int64_t* integer = found->second.integer())
        return *integer;
    if (const double* real = found->second.real()) {
        if (std::isnan(*real))
            return std::nullopt;
        // Clamp before converting: a double outside the range has no int64 value.
        if (*real >= 9223372036854775807.0)
            return std::numeric_limits<std::int64_t>::max();
        if (*real <= -9223372036854775808.0)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*real);
    }
    return std::nullopt;
}

std::optional<std::vector<const PlistValue::Dictionary*>> dictionariesOf(const PlistValue::Array& array)
{
    std::vector<const PlistValue::Dictionary*> dictionaries;
    dictionaries.reserve(array.size());
    for (const PlistValue& element : array) {
        if (!element.dictionary())
            return std::nullopt;
        dictionaries.push_back(element.dictionary());
    }
    return dictionaries;
}

}
