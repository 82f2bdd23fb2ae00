#pragma once

#include "commands/command.h"

namespace ferrolatch {

// forget-drive VOLUME_UUID: the Mac forgets a drive. Its registry entry goes,
// and with it the marker that keeps the system APFS agent's prompt away from
// the volume (every other volume's marker stays); a running agent, which
// watches the registry, stops guarding the volume. A UUID that is not
// registered is refused.
void forgetDriveCommand(Platform& platform, const CommandArguments& arguments);

}
