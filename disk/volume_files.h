#pragma once

#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/workspace.h"

#include <string>

namespace ferrolatch {

// Hidden, then mode 0444, then user-immutable. The first failing step's
// platform error passes up and the later steps do not run.
void protectHiddenFile(Files& files, const std::string& path);

// Makes sure the volume root holds the correct, protected proof marker and no
// legacy marker. Never fails; problems go to the log.
void ensureProofMarker(Files& files, Log& log, const std::string& volumeRoot);

// Gives the volume the drive icon unless it already has one. Never fails;
// reports through the log.
void setVolumeIcon(Files& files, Paths& paths, Workspace& workspace, Log& log, const std::string& mountPoint);

}
