#pragma once

#include <optional>
#include <string>

namespace ferrolatch {

// An image the workspace has loaded; its contents mean nothing to the logic.
struct WorkspaceImage {
    std::string bytes;
};

// The workspace service (NSWorkspace): the parts the program asks of it.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Loads an image file; empty when it cannot be read or is not an image.
    virtual std::optional<WorkspaceImage> loadImage(const std::string& path) = 0;
    // Makes the image the custom icon of the item at the path; for a volume's
    // mount point that is its ".VolumeIcon.icns" plus the volume's custom-icon
    // mark. Reports whether the platform succeeded.
    virtual bool setIcon(const WorkspaceImage& image, const std::string& path) = 0;
};

}
