#pragma once

#include <string>
#include <vector>

namespace macsim {

// macsim keychain list | fault OPERATION STATUS | fault clear, on the
// keychain of the user whose home lies in the sysroot.
void keychainCommand(const std::string& sysroot, const std::string& loginName,
                     const std::vector<std::string>& arguments);

}
