#pragma once

#include "platform/platform.h"

#include <functional>
#include <optional>
#include <string>

namespace ferrolatch {

// The adapters of one kind of machine (the virtual Mac's; a Mac's own later),
// built and owned together. main picks one and hands its Platform down;
// nothing else branches on the platform.
class AdapterSet {
public:
    using Context = std::function<void(const std::function<void()>& handler)>;

    virtual ~AdapterSet() = default;

    virtual Platform& platform() = 0;
    // One line saying why the Mac's services cannot be had and how to get
    // them; commands that need them must not run. Empty when they can be had.
    virtual std::optional<std::string> servicesUnavailable() const = 0;
    // Why UI-marked commands cannot show their user interface; empty when they can.
    virtual std::optional<std::string> userInterfaceUnavailable() const = 0;
    // Runs a UI-marked handler inside the desktop session; empty when the
    // user interface is not the desktop's.
    virtual Context desktopContext() = 0;
};

}
