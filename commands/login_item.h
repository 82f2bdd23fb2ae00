#pragma once

#include "platform/login_item.h"

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The fixed text of a status; "unknown" for a value the service added later.
std::string_view loginItemStatusText(LoginItemStatus status);
// "FERROLATCH AGENT: " and the status text.
std::string agentLine(LoginItemStatus status);
// "APFS PROMPT SUPPRESSION: " and "available" or "unavailable".
std::string promptSuppressionCapabilityLine(bool available);

// agent-enable: registers the item when it is not registered or not found;
// an enabled item, or one waiting for approval, is left alone. Returns the
// status read afterwards. A failed registration passes up unchanged.
LoginItemStatus enableLoginItem(LoginItem& item);
// agent-disable: unregisters an enabled item or one waiting for approval.
LoginItemStatus disableLoginItem(LoginItem& item);

// Whether the menu's "Start at Login" row shows its check mark.
bool startsAtLogin(LoginItem& item);

// The agent's one error dialog: a title and the failure.
using ShowErrorAlert = std::function<void(std::string_view title, const std::exception& error)>;
inline constexpr const char* loginItemAlertTitle = "Could not update Start at Login";

// The menu's "Start at Login": unregisters an enabled item, registers in any
// other state (an item waiting for approval is registered again). True when
// it changed, so the menu is rebuilt; on a failure shows the error alert and
// returns false, leaving the menu (and its check mark) as it was.
bool toggleLoginItem(LoginItem& item, const ShowErrorAlert& showErrorAlert);

}
