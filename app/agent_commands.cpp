#include "app/agent_commands.h"

#include "app/prompt_suppression.h"
#include "commands/login_item.h"
#include "platform/platform.h"

namespace ferrolatch {

void agentEnableCommand(Platform& platform, const CommandArguments&)
{
    platform.out << agentLine(enableLoginItem(platform.loginItem)) << '\n';
}

void agentDisableCommand(Platform& platform, const CommandArguments&)
{
    platform.out << agentLine(disableLoginItem(platform.loginItem)) << '\n';
}

void agentStatusCommand(Platform& platform, const CommandArguments&)
{
    platform.out << agentLine(platform.loginItem.status()) << '\n'
                 << promptSuppressionCapabilityLine(apfsPromptSuppressionCapable(platform.files, platform.paths))
                 << '\n';
}

}
