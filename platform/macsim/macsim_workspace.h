#pragma once

#include "platform/workspace.h"

#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// The virtual Mac's workspace. A folder's custom icon is what a Mac keeps: the
// icon file inside it (".VolumeIcon.icns" for a volume root) and the
// kHasCustomIcon bit in the folder's Finder info, which Linux keeps in an
// extended attribute.
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
