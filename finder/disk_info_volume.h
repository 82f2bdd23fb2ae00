#pragma once

#include "disk/property_list.h"
#include "finder/sidebar_catalog.h"

#include <optional>

namespace ferrolatch::FerrolatchFinderState {

// A mounted, external, encrypted volume from "diskutil info -plist" of it;
// none otherwise. The agent's side only: the extension never runs diskutil.
std::optional<MountedVolume> mountedVolumeFromDiskInfo(const PlistValue::Dictionary& info);

}
