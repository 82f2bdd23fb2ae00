#include "common/errors.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/macsim/virtual_mac_adapters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

struct Scratch {
    std::string path;
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "ferrolatch-adapters-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary directory");
        path = pattern;
    }
    ~Scratch() { fs::remove_all(path); }

    // Just what marks an initialised virtual Mac.
    std::string virtualMac(const std::string& name)
    {
        std::string root = path + "/" + name;
        fs::create_directories(root + "/private/var/db/macsim");
        std::ofstream(root + "/private/var/db/macsim/state.json") << "{}";
        return root;
    }

    VirtualMacSettings settings(const std::string& sysroot) const
    {
        VirtualMacSettings result;
        result.sysroot = sysroot;
        result.workingDirectory = path;
        result.executablePath = path + "/Ferrolatch.app/Contents/MacOS/ferrolatch-proof";
        result.loginName = "me";
        return result;
    }
};

std::vector<std::string> entries(const std::string& directory)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        found.push_back(entry.path().string());
    std::sort(found.begin(), found.end());
    return found;
}

}

TEST(VirtualMacAdapters, WithoutAVirtualMacTheSetSaysHowToGetOneAndWritesNothing)
{
    Scratch scratch;
    fs::create_directories(scratch.path + "/empty");
    std::vector<std::string> before = entries(scratch.path);
    for (const std::string& sysroot : {scratch.path + "/missing", scratch.path + "/empty/", std::string("empty")}) {
        SCOPED_TRACE(sysroot);
        std::ostringstream out;
        auto adapters = virtualMacAdapters(scratch.settings(sysroot), out);
        ASSERT_TRUE(adapters->servicesUnavailable());
        EXPECT_EQ(adapters->servicesUnavailable()->find('\n'), std::string::npos);
        EXPECT_NE(adapters->servicesUnavailable()->find("macsim init"), std::string::npos);
        EXPECT_EQ(adapters->servicesUnavailable()->find("//"), std::string::npos);
        adapters->platform().log.write("not written anywhere in the sysroot");
        EXPECT_FALSE(adapters->platform().diskArbitration.createSession());
        EXPECT_THROW(adapters->platform().notifications.observe("name", [] {}), PlatformError);
        EXPECT_TRUE(adapters->platform().mountedVolumes.mountedVolumes(MountedVolumes::Hidden::Listed).empty());
    }
    EXPECT_EQ(entries(scratch.path), before);
}

TEST(VirtualMacAdapters, TheSysrootIsNormalisedOnceForEveryAdapter)
{
    Scratch scratch;
    std::string root = scratch.virtualMac("mac");
    for (const std::string& spelling : {root, root + "/", root + "/./", std::string("mac"), std::string("./mac//")}) {
        SCOPED_TRACE(spelling);
        std::ostringstream out;
        auto adapters = virtualMacAdapters(scratch.settings(spelling), out);
        EXPECT_FALSE(adapters->servicesUnavailable());
        EXPECT_EQ(adapters->platform().paths.systemFile("/Volumes"), root + "/Volumes");
        EXPECT_EQ(adapters->platform().paths.mainBundle(), scratch.path + "/Ferrolatch.app");
    }
}

// The agent's services come from the sysroot, not the refusing defaults: a
// session, notifications that come back to the observer on its main loop.
TEST(VirtualMacAdapters, TheAgentsSystemServicesAreTheVirtualMacs)
{
    Scratch scratch;
    std::string root = scratch.virtualMac("mac");
    std::ostringstream out;
    auto adapters = virtualMacAdapters(scratch.settings(root), out);
    Platform& platform = adapters->platform();
    EXPECT_TRUE(platform.diskArbitration.createSession());
    int delivered = 0;
    auto token = platform.notifications.observe("com.quorvel.ferrolatch.finder.volumes-changed", [&] { ++delivered; });
    platform.notifications.post("com.quorvel.ferrolatch.finder.volumes-changed");
    platform.mainLoop.runUntil([&] { return delivered == 1; });
    EXPECT_EQ(delivered, 1);
    platform.notifications.removeObserver(token);
    EXPECT_NO_THROW(platform.volumeEvents.observe([](const VolumeEvent&) {}));
    EXPECT_TRUE(platform.mountedVolumes.mountedVolumes(MountedVolumes::Hidden::Listed).empty()); // "{}" lists nothing
}

TEST(VirtualMacAdapters, TheUserInterfaceIsTheScriptsOrTheDesktopsWithItsClipboard)
{
    Scratch scratch;
    std::string root = scratch.virtualMac("mac");
    std::ostringstream out;

    VirtualMacSettings headless = scratch.settings(root);
    auto withoutDisplay = virtualMacAdapters(headless, out);
    EXPECT_TRUE(withoutDisplay->userInterfaceUnavailable());
    EXPECT_FALSE(withoutDisplay->desktopContext());

    VirtualMacSettings scripted = scratch.settings(root);
    scripted.display = true;
    scripted.uiScript = "[]";
    auto withScript = virtualMacAdapters(scripted, out);
    EXPECT_FALSE(withScript->userInterfaceUnavailable());
    EXPECT_FALSE(withScript->desktopContext()); // the script wins over the display
    const std::string text = "on the virtual Mac's pasteboard";
    ASSERT_TRUE(withScript->platform().pasteboard.setString(
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
    EXPECT_TRUE(fs::exists(MacsimPasteboard::pasteboardFile(root)));

    scripted.uiScript = "not json";
    EXPECT_TRUE(virtualMacAdapters(scripted, out)->userInterfaceUnavailable());

    // On a desktop the clipboard is the desktop's, reachable only inside the
    // session; the bundle here has no plug-in, so entering says so in one line.
    VirtualMacSettings desktop = scratch.settings(root);
    desktop.display = true;
    auto onDesktop = virtualMacAdapters(desktop, out);
    EXPECT_FALSE(onDesktop->userInterfaceUnavailable());
    AdapterSet::Context context = onDesktop->desktopContext();
    ASSERT_TRUE(context);
    bool ran = false;
    try {
        context([&] { ran = true; });
        ADD_FAILURE() << "entered a desktop without its plug-in";
    } catch (const ProofError& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("the desktop user interface could not be loaded: ", 0), 0u);
        EXPECT_EQ(std::string(failure.what()).find('\n'), std::string::npos);
    }
    EXPECT_FALSE(ran);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(onDesktop->platform().pasteboard.clearContents(), "pasteboard is used outside the application context");
}
