// The product starts without the windowing toolkit: Qt lives in the bundle's
// desktop plug-in, which only commands that show UI load.
#include "platform/macsim/virtual_mac_adapters.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ferrolatch::e2e;

TEST(Startup, TheProductLinksNoQtLibraryAndThePlugInDoes)
{
    RunResult product = run("/usr/bin/ldd", {ferrolatchExecutable()});
    ASSERT_EQ(product.status, 0) << product.err;
    ASSERT_NE(product.out.find("libc.so"), std::string::npos) << product.out; // ldd really listed it
    EXPECT_EQ(product.out.find("libQt"), std::string::npos) << product.out;

    // The plug-in holds the toolkit, so the test above is not passing by accident.
    std::string plugIn = ferrolatchBundle() + "/" + ferrolatch::desktopPluginPath;
    ASSERT_TRUE(std::filesystem::exists(plugIn)) << plugIn;
    RunResult desktop = run("/usr/bin/ldd", {plugIn});
    ASSERT_EQ(desktop.status, 0) << desktop.err;
    EXPECT_NE(desktop.out.find("libQt6Widgets"), std::string::npos) << desktop.out;
}
