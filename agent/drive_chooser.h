#pragma once

#include "platform/files.h"
#include "platform/ui.h"

#include <optional>
#include <string>
#include <vector>

namespace ferrolatch {

// Picks the drive a recovery command acts on among the discovered manifests:
// fails when there is none, takes a single one without reading it, and asks
// with a pop-up of volume names when there are several. None when the user
// cancels.
std::optional<std::string> chooseDriveManifest(Ui& ui, Files& files, const std::vector<std::string>& candidates,
                                               const std::string& purpose);

}
