#pragma once

#include "commands/command.h"

namespace ferrolatch {

// agent-enable, agent-disable and agent-status: the login item from the
// command line, each printing the agent line; agent-status adds whether the
// APFS prompt suppression is available.
void agentEnableCommand(Platform& platform, const CommandArguments& arguments);
void agentDisableCommand(Platform& platform, const CommandArguments& arguments);
void agentStatusCommand(Platform& platform, const CommandArguments& arguments);

}
