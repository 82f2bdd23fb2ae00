#pragma once

#include <string>
#include <vector>

namespace macsim {

// macsim channel ask SERVICE REQUEST: one of the user's processes asks a
// service of the user's local channel, prints its answer, and keeps the
// connection (and whatever the service keeps for it) until its standard
// input ends or it is killed, as a command that asked and is still working.
void channelCommand(const std::string& sysroot, const std::vector<std::string>& arguments);

}
