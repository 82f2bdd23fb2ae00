// The virtual Mac's per-user APFS agent: a process that lives until it is told
// to stop, so that pgrep and killall have something real to find and end, and
// that prompts for the password of a locked volume handed to it.
#include "macsim/password_agent.h"

int main()
{
    return macsim::runPasswordAgent();
}
