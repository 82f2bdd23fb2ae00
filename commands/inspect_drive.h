#pragma once

#include "commands/command.h"
#include "platform/platform.h"

namespace ferrolatch {

// inspect-drive WHOLE_DISK: prints the disk's inspection record as JSON, so a
// user or a script can obtain its confirmation token.
void inspectDriveCommand(Platform& platform, const CommandArguments& arguments);

}
