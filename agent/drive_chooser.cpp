#include "agent/drive_chooser.h"

#include "common/errors.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"

namespace ferrolatch {

std::optional<std::string> chooseDriveManifest(Ui& ui, Files& files, const std::vector<std::string>& candidates,
                                               const std::string& purpose)
{
    if (candidates.empty())
        throw ProofError("Connect a Ferrolatch disk, then try again.");
    if (candidates.size() == 1)
        return candidates.front();

    PopUpButton names;
    names.size = {320, 26};
    names.pullsDown = false;
    for (const std::string& candidate : candidates)
        names.items.push_back(*acceptNativeVolumeManifest(readManifest(files, candidate)).volumeName);

    Alert alert;
    alert.style = AlertStyle::Warning;
    alert.messageText = "Choose a Ferrolatch disk";
    alert.informativeText = "Required: authenticate with its passkey before Ferrolatch can " + purpose + ".";
    alert.buttons = {{"Continue"}, {"Cancel"}};
    alert.accessory = std::move(names);
    long response = ui.runModal(alert);
    if (response != alertFirstButtonReturn)
        return std::nullopt;
    std::size_t selected = std::get<PopUpButton>(*alert.accessory).selectedIndex;
    if (selected >= candidates.size())
        return std::nullopt;
    return candidates[selected];
}

}
