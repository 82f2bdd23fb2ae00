#include "commands/login_item.h"

namespace ferrolatch {

std::string_view loginItemStatusText(LoginItemStatus status)
{
    switch (status) {
    case LoginItemStatus::NotRegistered: return "not registered";
    case LoginItemStatus::Enabled: return "enabled";
    case LoginItemStatus::RequiresApproval: return "requires approval in System Settings";
    case LoginItemStatus::NotFound: return "not found";
    }
    return "unknown";
}

std::string agentLine(LoginItemStatus status)
{
    return "FERROLATCH AGENT: " + std::string(loginItemStatusText(status));
}

std::string promptSuppressionCapabilityLine(bool available)
{
    return std::string("APFS PROMPT SUPPRESSION: ") + (available ? "available" : "unavailable");
}

LoginItemStatus enableLoginItem(LoginItem& item)
{
    LoginItemStatus status = item.status();
    if (status == LoginItemStatus::NotRegistered || status == LoginItemStatus::NotFound)
        item.registerItem();
    return item.status();
}

LoginItemStatus disableLoginItem(LoginItem& item)
{
    LoginItemStatus status = item.status();
    if (status == LoginItemStatus::Enabled || status == LoginItemStatus::RequiresApproval)
        item.unregisterItem();
    return item.status();
}

bool startsAtLogin(LoginItem& item) { return item.status() == LoginItemStatus::Enabled; }

bool toggleLoginItem(LoginItem& item, const ShowErrorAlert& showErrorAlert)
{
    try {
        if (item.status() == LoginItemStatus::Enabled)
            item.unregisterItem();
        else
            item.registerItem();
    } catch (const std::exception& error) {
        showErrorAlert(loginItemAlertTitle, error);
        return false;
    }
    return true;
}

}
