#include "macsim/plist_out.h"

#include "common/property_list_guard.h"

#include <plist/plist.h>

#include <cstdlib>

namespace macsim {

namespace {

// Far deeper than an Info.plist or a receipt; shallow enough for libplist's
// recursive parser and for read() below.
constexpr int deepestNesting = 64;

plist_t build(const Plist& value)
{
    struct Builder {
        plist_t operator()(const std::string& text) const { return plist_new_string(text.c_str()); }
        plist_t operator()(bool flag) const { return plist_new_bool(flag ? 1 : 0); }
        plist_t operator()(std::uint64_t number) const { return plist_new_uint(number); }
        plist_t operator()(const std::shared_ptr<Plist::Array>& array) const
        {
            plist_t node = plist_new_array();
            for (const Plist& item : *array)
                plist_array_append_item(node, build(item));
            return node;
        }
        plist_t operator()(const std::shared_ptr<Plist::Dictionary>& dictionary) const
        {
            plist_t node = plist_new_dict();
            for (const auto& [key, item] : *dictionary)
                plist_dict_set_item(node, key.c_str(), build(item));
            return node;
        }
    };
    return std::visit(Builder {}, value.value);
}

Plist read(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        // The pointer form: the copying getter asserts on strings with NULs.
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return std::string(text ? text : "", text ? static_cast<std::size_t>(length) : 0);
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return flag != 0;
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return number;
    }
    case PLIST_ARRAY: {
        Plist::Array array;
        for (uint32_t index = 0; index < plist_array_get_size(node); ++index)
            array.push_back(read(plist_array_get_item(node, index)));
        return array;
    }
    case PLIST_DICT: {
        Plist::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (!key)
                break;
            dictionary[key] = read(item);
            std::free(key);
        }
        std::free(iterator);
        return dictionary;
    }
    case PLIST_REAL:
        return "<real>";
    case PLIST_DATA:
        return "<data>";
    case PLIST_DATE:
        return "<date>";
    default:
        return "<other>";
    }
}

}

std::optional<Plist> parsePlist(const std::string& bytes)
{
    if (!ferrolatch::isSafePropertyListXML(bytes, deepestNesting))
        return std::nullopt;
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    if (!node)
        return std::nullopt;
    Plist value = read(node);
    plist_free(node);
    return value;
}

const Plist* child(const Plist& dictionary, const std::string& key)
{
    const auto* entries = asDictionary(&dictionary);
    if (!entries)
        return nullptr;
    auto found = entries->find(key);
    return found == entries->end() ? nullptr : &found->second;
}

const std::string* asString(const Plist* value)
{
    return value ? std::get_if<std::string>(&value->value) : nullptr;
}

const bool* asBool(const Plist* value)
{
    return value ? std::get_if<bool>(&value->value) : nullptr;
}

const std::uint64_t* asInteger(const Plist* value)
{
    return value ? std::get_if<std::uint64_t>(&value->value) : nullptr;
}

const Plist::Array* asArray(const Plist* value)
{
    auto* array = value ? std::get_if<std::shared_ptr<Plist::Array>>(&value->value) : nullptr;
    return array ? array->get() : nullptr;
}

const Plist::Dictionary* asDictionary(const Plist* value)
{
    auto* dictionary = value ? std::get_if<std::shared_ptr<Plist::Dictionary>>(&value->value) : nullptr;
    return dictionary ? dictionary->get() : nullptr;
}

std::string toXml(const Plist& root)
{
    plist_t node = build(root);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string text(xml ? xml : "", length);
    plist_to_xml_free(xml);
    plist_free(node);
    return text;
}

}
