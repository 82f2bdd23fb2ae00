#pragma once

#include "platform/status_item.h"

#include <functional>
#include <string>
#include <string_view>

namespace ferrolatch {

inline constexpr long ejectMenuTag = 1001;

// The agent's menu commands, one per row with an action.
struct AgentMenuActions {
    std::function<void()> setupDrive;
    std::function<void()> scanFromMenu;
    std::function<void()> showOfflineRecoveryKey;
    std::function<void()> saveRecoveryInPasswords;
    std::function<void()> toggleLoginItem;
    std::function<void()> showFinderSidebarSettings;
    std::function<void()> showAbout;
    std::function<void()> checkForUpdates;
    std::function<void()> quit;
};

inline constexpr std::string_view finderSidebarTitle = "Finder Sidebar Icons\u2026";

// The twelve rows: the disabled status line, the commands, and the check
// marks of the login item and the Finder extension.
Menu buildAgentMenu(const std::string& statusLine, bool loginItemEnabled, bool finderExtensionEnabled,
                    const AgentMenuActions& actions);

}
