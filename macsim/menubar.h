#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace macsim {

// `macsim menubar`: prints the status items of this Mac's running processes.
// `macsim menubar click TITLE`: opens the menu that has the row, chooses it
// and returns once its action has run.
void menuBarCommand(const std::string& sysroot, const std::vector<std::string>& arguments, std::ostream& out);

}
