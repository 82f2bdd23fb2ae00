#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace macsim {

// macsim finder start BUNDLE | stop | watched | enable | disable: Finder
// loading and unloading the product's extension, the folders the extension
// asked it to watch, and the user's switch for the extension, on the virtual
// Mac at the sysroot (absolute).
void finderCommand(const std::string& sysroot, const std::vector<std::string>& arguments);

// What `macsim state` shows of it.
nlohmann::json finderExtensionState(const std::string& sysroot);

}
