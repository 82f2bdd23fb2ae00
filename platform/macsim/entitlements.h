#pragma once

#include <string>

namespace ferrolatch {

// Whether the bundle's entitlements property list associates the application
// with "webcredentials:" + domain, as the passkey and shared-web-credential
// services require of a signed application. An unreadable or malformed file
// associates nothing.
bool entitlementsAssociateWebCredentials(const std::string& entitlementsPath, const std::string& domain);

// Whether the entitlements name the application group, as the system
// requires before it hands a process the group's shared container.
bool entitlementsListApplicationGroup(const std::string& entitlementsPath, const std::string& group);

}
