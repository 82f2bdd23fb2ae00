#include "platform/macsim/entitlements.h"

#include "common/property_list_guard.h"

#include <plist/plist.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace ferrolatch {

namespace {

// Whether the entitlements' array under key holds the string wanted.
bool entitlementsList(const std::string& entitlementsPath, const char* key, const std::string& wanted)
{
    std::ifstream stream(entitlementsPath, std::ios::binary);
    if (!stream)
        return false;
    std::ostringstream contents;
    contents << stream.rdbuf();
    std::string xml = contents.str();
    // Entitlements are a dictionary of arrays; deeper nesting is not a signature's.
    constexpr int deepestNesting = 8;
    if (xml.size() > UINT32_MAX || !isSafePropertyListXML(xml, deepestNesting))
        return false;

    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    if (!root)
        return false;
    bool found = false;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t values = plist_dict_get_item(root, key);
        if (values && plist_get_node_type(values) == PLIST_ARRAY) {
            for (std::uint32_t index = 0; index < plist_array_get_size(values) && !found; ++index) {
                plist_t item = plist_array_get_item(values, index);
                if (plist_get_node_type(item) != PLIST_STRING)
                    continue;
                std::uint64_t length = 0;
                const char* value = plist_get_string_ptr(item, &length);
                found = value && std::string_view(value, length) == wanted;
            }
        }
    }
    plist_free(root);
    return found;
}

}

bool entitlementsAssociateWebCredentials(const std::string& entitlementsPath, const std::string& domain)
{
    return entitlementsList(entitlementsPath, "com.apple.developer.associated-domains", "webcredentials:" + domain);
}

bool entitlementsListApplicationGroup(const std::string& entitlementsPath, const std::string& group)
{
    return entitlementsList(entitlementsPath, "com.apple.security.application-groups", group);
}

}
