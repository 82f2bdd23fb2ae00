// The entry point of the desktop plug-in built from the Qt adapters.
#include "platform/desktop_adapters.h"
#include "platform/qt/qt_application.h"

extern "C" __attribute__((visibility("default"))) ferrolatch::DesktopAdapters* ferrolatch_desktop_adapters()
{
    return &ferrolatch::qtDesktopAdapters();
}
