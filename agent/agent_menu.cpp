#include "agent/agent_menu.h"

namespace ferrolatch {

namespace {

MenuRow command(std::string title, std::function<void()> action, std::string key = {}, bool checked = false)
{
    MenuRow row;
    row.title = std::move(title);
    row.action = std::move(action);
    row.keyEquivalent = std::move(key);
    row.checked = checked;
    return row;
}

}

Menu buildAgentMenu(const std::string& statusLine, bool loginItemEnabled, bool finderExtensionEnabled,
                    const AgentMenuActions& actions)
{
    MenuRow status;
    status.title = statusLine;
    status.enabled = false;
    return Menu {{
        status,
        MenuRow::separator(),
        command("Set Up a Drive\u2026", actions.setupDrive),
        command("Scan for Ferrolatch Drives", actions.scanFromMenu, "r"),
        command("Authenticate to Show Recovery Key\u2026", actions.showOfflineRecoveryKey),
        command("Authenticate to Save Recovery in Passwords\u2026", actions.saveRecoveryInPasswords),
        command("Start at Login", actions.toggleLoginItem, {}, loginItemEnabled),
        command(std::string(finderSidebarTitle), actions.showFinderSidebarSettings, {}, finderExtensionEnabled),
        MenuRow::separator(),
        command("About Ferrolatch", actions.showAbout),
        command("Check for Updates\u2026", actions.checkForUpdates),
        command("Quit Ferrolatch", actions.quit, "q"),
    }};
}

}
