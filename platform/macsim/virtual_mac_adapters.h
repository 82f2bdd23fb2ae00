#pragma once

#include "platform/adapter_set.h"

#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ferrolatch {

// What the virtual Mac's adapter set is built from; main reads it from the
// environment.
struct VirtualMacSettings {
    std::string sysroot;          // as given; normalised once by the set
    std::string workingDirectory; // to make a relative sysroot absolute
    std::string executablePath;   // this process's, inside its bundle
    std::string loginName;        // the user whose home lies in the sysroot
    std::vector<std::string> systemTools; // Mac paths the tool runner maps into the sysroot
    std::optional<std::string> uiScript;  // automation answers (FERROLATCH_UI_SCRIPT)
    std::string uiTranscript;             // where shown UI is recorded
    bool display = false;                 // a windowing system is reachable
};

// The adapters of a virtual Mac: POSIX processes and files, the sysroot's
// services, and for UI the scripted responder or, on a desktop, the toolkit
// plug-in of the bundle (loaded only when a UI-marked command runs). When no
// initialised virtual Mac is at the sysroot, the set says so and builds
// nothing that would write outside it.
std::unique_ptr<AdapterSet> virtualMacAdapters(const VirtualMacSettings& settings, std::ostream& out);

// The bundle-relative place of the desktop plug-in.
inline constexpr const char* desktopPluginPath = "Contents/PlugIns/FerrolatchDesktop.so";

}
