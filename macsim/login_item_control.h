#pragma once

#include <string>
#include <vector>

namespace macsim {

// macsim loginitem [set STATUS | fault register|unregister DOMAIN CODE DESCRIPTION | fault clear]
// on the login item of the virtual Mac at the sysroot.
void loginItemCommand(const std::string& sysroot, const std::vector<std::string>& arguments);

}
