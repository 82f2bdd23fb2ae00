#include "macsim/plist_out.h"

#include <plist/plist.h>

namespace macsim {

namespace {

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
