#pragma once

#include "platform/workspace.h"

#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The virtual Mac's workspace. A custom icon is kept as a Mac keeps a volume's:
// ".VolumeIcon.icns" inside the folder and the kHasCustomIcon bit in its Finder
// info, which Linux keeps in an extended attribute. The program gives icons to
// volume roots only, so every folder is treated as one.
class MacsimWorkspace final : public Workspace {
public:
    std::optional<WorkspaceImage> loadImage(const std::string& path) override;
    bool setIcon(const WorkspaceImage& image, const std::string& path) override;
};

inline constexpr const char* finderInfoAttribute = "user.com.apple.FinderInfo";
inline constexpr unsigned finderHasCustomIcon = 0x0400; // in the Finder flags, bytes 8 and 9, big-endian

// Whether bytes are a well-formed icns container: "icns", the total length,
// then elements that each carry a type and a length and fill it exactly.
bool isIcnsImage(std::string_view bytes);

}
