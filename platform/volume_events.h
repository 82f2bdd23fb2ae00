#pragma once

#include <functional>
#include <string>

namespace ferrolatch {

// The workspace's volume notifications (NSWorkspace's notification center):
// did-mount, did-unmount and did-rename-volume, for any sender.
enum class VolumeEventKind { DidMount, DidUnmount, DidRenameVolume };

struct VolumeEvent {
    VolumeEventKind kind = VolumeEventKind::DidMount;
    std::string path; // the volume's mount location (NSWorkspaceVolumeURLKey)
};

class VolumeEvents {
public:
    using Observer = std::function<void(const VolumeEvent&)>;
    using Token = unsigned long;

    virtual ~VolumeEvents() = default;

    // Observers are called on the main loop, in the order the events happened.
    virtual Token observe(Observer observer) = 0;
    virtual void removeObserver(Token token) = 0;
};

}
