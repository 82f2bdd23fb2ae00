// The Finder extension as Finder runs it on a virtual Mac: loaded from the
// application bundle as a process of its own, beside the menu-bar agent, it
// keeps Finder watching the unlocked data volume of a plugged-in drive and
// nothing else.
#include "common/build_config.h"
#include "finder/sidebar_catalog.h"
#include "tests/e2e/agent_mac.h"

#include <plist/plist.h>

#include <memory>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

const std::string bundle = ferrolatchBundle();
const std::string appex = bundle + "/Contents/PlugIns/FerrolatchFinder.appex";
const std::string finderRow = "Finder Sidebar Icons\u2026";

// A virtual Mac whose Finder can load the extension beside the agent; the
// extension is unloaded and the agent quit whatever the test's outcome.
class FinderMac : public AgentMac {
protected:
    ~FinderMac() override
    {
        mac.macsim({"finder", "stop"});
        if (agent && !agent->hasExited() && mac.macsim({"menubar", "click", "Quit Ferrolatch"}).status == 0) {
            std::string error;
            agent->wait(error);
        }
    }

    std::string watched() { return mac.macsim({"finder", "watched"}).out; }
    bool watches(const std::string& lines)
    {
        return eventually([&] { return watched() == lines; });
    }
    json finderState() { return state()["finderExtension"]; }
};

std::string plistString(plist_t dictionary, const char* key)
{
    plist_t node = dictionary ? plist_dict_get_item(dictionary, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return "";
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value ? value : "";
    std::free(value);
    return text;
}

using Plist = std::unique_ptr<void, void (*)(plist_t)>;

Plist readPlist(const std::string& path)
{
    std::string text = readTextFile(path);
    plist_t root = nullptr;
    plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &root);
    return Plist(root, plist_free);
}

}

TEST_F(FinderMac, AnUnlockedDriveIsWatchedUntilItGoesAndTheAgentsRowFollowsTheExtension)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer}));
    RunResult started = mac.macsim({"finder", "start", bundle});
    ASSERT_EQ(started.status, 0) << started.err;
    // Loaded and refreshed once: nothing is mounted, so Finder watches nothing.
    EXPECT_EQ(finderState()["loaded"], std::stoi(started.out));
    EXPECT_EQ(finderState()["watched"], json::array());
    EXPECT_TRUE(contains(menuBar(), "    " + finderRow)) << menuBar(); // unchecked

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    std::optional<json> data = volumeNamed("PRIVATE");
    ASSERT_TRUE(data);
    std::string mountPoint = (*data)["mountPoint"];
    EXPECT_TRUE(watches(mountPoint + "\n")) << watched() << systemLog();
    // The bootstrap volume stays mounted but hidden, and is never watched.
    for (const json& volume : volumesOf((*data)["container"]))
        if (volume["name"] != "PRIVATE") {
            EXPECT_TRUE(volume["mounted"]) << volume.dump();
            EXPECT_FALSE(contains(watched(), volume["mountPoint"].get<std::string>())) << watched();
        }
    EXPECT_TRUE(contains(systemLog(), "]: Ferrolatch sidebar: 1 enrolled volumes")) << systemLog();

    // Ejected from the agent's menu, the drive leaves Finder's folders too.
    ASSERT_TRUE(contains(menuBar(), "    Eject PRIVATE\n")) << menuBar();
    RunResult ejected = mac.macsim({"menubar", "click", "Eject PRIVATE"});
    ASSERT_EQ(ejected.status, 0) << ejected.err;
    EXPECT_TRUE(watches("")) << watched() << systemLog();
    EXPECT_EQ(finderState()["watched"], json::array());
    ASSERT_TRUE(menuBarShows("Waiting for a Ferrolatch disk")) << menuBar();
    EXPECT_FALSE(contains(menuBar(), "Eject")) << menuBar();
    EXPECT_FALSE(volumeNamed("PRIVATE").value_or(json::object()).value("mounted", false));

    // The row's check mark is read as the menu opens; choosing the row opens
    // the extension's settings.
    mac.macsimOrThrow({"finder", "enable"});
    RunResult chosen = mac.macsim({"menubar", "click", finderRow});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_TRUE(contains(menuBar(), "  \u2713 " + finderRow)) << menuBar();
    EXPECT_EQ(finderState()["settingsShown"], 1);
    EXPECT_EQ(finderState()["enabled"], true);
    EXPECT_EQ(alertMessages(), (std::vector<std::string> {"Sign in to " + std::string(relyingPartyDomain)
                                                          + " with your passkey"}));

    mac.macsimOrThrow({"finder", "disable"});
    ASSERT_EQ(mac.macsim({"menubar", "click", "Scan for Ferrolatch Drives"}).status, 0);
    EXPECT_TRUE(contains(menuBar(), "    " + finderRow)) << menuBar();
}

TEST_F(FinderMac, TheChangeNotificationAloneAppliesARewrittenCatalog)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    std::string mountPoint = (*volumeNamed("PRIVATE"))["mountPoint"];
    // The agent at rest: its later refreshes would publish the catalog again.
    quietPeriod();

    // Loaded after the drive opened, it finds the volume at once.
    ASSERT_EQ(mac.macsim({"finder", "start", bundle}).status, 0);
    EXPECT_EQ(watched(), mountPoint + "\n");

    // A catalog that names nothing, announced without any volume event.
    std::string catalog = home + "/Library/Group Containers/" + build::applicationGroupIdentifier + "/"
        + std::string(FerrolatchFinderState::catalogFileName);
    std::string published = readTextFile(catalog);
    std::ofstream(catalog) << R"({"version": 1, "volumeUUIDs": []})";
    ASSERT_EQ(mac.macsim({"notify", std::string(FerrolatchFinderState::volumesChangedNotification)}).status, 0);
    EXPECT_TRUE(watches("")) << watched();
    std::ofstream(catalog) << published;
    ASSERT_EQ(mac.macsim({"notify", std::string(FerrolatchFinderState::volumesChangedNotification)}).status, 0);
    EXPECT_TRUE(watches(mountPoint + "\n")) << watched();

    // Unloaded, Finder forgets its folders; loaded again, it needs nothing of before.
    ASSERT_EQ(mac.macsim({"finder", "stop"}).status, 0);
    EXPECT_EQ(finderState()["loaded"], nullptr);
    EXPECT_EQ(finderState()["watched"], nullptr);
    EXPECT_EQ(watched(), "");
    ASSERT_EQ(mac.macsim({"finder", "start", bundle}).status, 0);
    EXPECT_EQ(watched(), mountPoint + "\n");
}

// The sandbox gives the extension the catalog's container only through its
// application-group entitlement.
TEST_F(FinderMac, WithoutItsGroupEntitlementTheExtensionWatchesNothing)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();

    std::string copy = work + "/Unentitled.appex";
    fs::copy(appex, copy, fs::copy_options::recursive);
    std::ofstream(copy + "/Contents/Resources/FerrolatchFinder.entitlements")
        << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>com.apple.security.app-sandbox</key><true/></dict></plist>
)";
    RunResult started = mac.macsim({"finder", "start", copy});
    ASSERT_EQ(started.status, 0) << started.err;
    EXPECT_EQ(finderState()["watched"], json::array());
    mac.macsimOrThrow({"notify", std::string(FerrolatchFinderState::volumesChangedNotification)});
    ASSERT_EQ(mac.macsim({"finder", "stop"}).status, 0);

    // The bundle as built is entitled, and sees the volume.
    ASSERT_EQ(mac.macsim({"finder", "start", bundle}).status, 0);
    EXPECT_EQ(watched(), (*volumeNamed("PRIVATE"))["mountPoint"].get<std::string>() + "\n");
}

TEST_F(FinderMac, TheExtensionIsABundleFinderCanLoadOnceAtATime)
{
    Plist info = readPlist(appex + "/Contents/Info.plist");
    ASSERT_TRUE(info);
    plist_t extension = plist_dict_get_item(info.get(), "NSExtension");
    EXPECT_EQ(plistString(extension, "NSExtensionPointIdentifier"), "com.apple.FinderSync");
    EXPECT_EQ(plistString(extension, "NSExtensionPrincipalClass"), "FerrolatchFinderSync");
    EXPECT_EQ(plistString(info.get(), "CFBundleExecutable"), "FerrolatchFinder");
    EXPECT_EQ(plistString(info.get(), "CFBundlePackageType"), "XPC!");
    Plist app = readPlist(bundle + "/Contents/Info.plist");
    EXPECT_TRUE(plistString(info.get(), "CFBundleIdentifier").starts_with(plistString(app.get(), "CFBundleIdentifier") + "."));

    Plist entitlements = readPlist(appex + "/Contents/Resources/FerrolatchFinder.entitlements");
    ASSERT_TRUE(entitlements);
    plist_t sandbox = plist_dict_get_item(entitlements.get(), "com.apple.security.app-sandbox");
    ASSERT_TRUE(sandbox && plist_get_node_type(sandbox) == PLIST_BOOLEAN);
    std::uint8_t on = 0;
    plist_get_bool_val(sandbox, &on);
    EXPECT_TRUE(on);
    plist_t groups = plist_dict_get_item(entitlements.get(), "com.apple.security.application-groups");
    ASSERT_TRUE(groups && plist_get_node_type(groups) == PLIST_ARRAY && plist_array_get_size(groups) == 1);
    char* group = nullptr;
    plist_get_string_val(plist_array_get_item(groups, 0), &group);
    EXPECT_STREQ(group, build::applicationGroupIdentifier);
    std::free(group);

    RunResult notAnExtension = mac.macsim({"finder", "start", mac.sysroot()});
    EXPECT_EQ(notAnExtension.status, 1);
    EXPECT_EQ(notAnExtension.err, "macsim: no Finder extension in " + mac.sysroot() + "\n");

    RunResult started = mac.macsim({"finder", "start", appex});
    ASSERT_EQ(started.status, 0) << started.err;
    RunResult again = mac.macsim({"finder", "start", bundle});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "macsim: the Finder extension is already loaded (pid " + started.out.substr(0, started.out.size() - 1)
                             + ")\n");
    ASSERT_EQ(mac.macsim({"finder", "stop"}).status, 0);
    // Ended, not merely told to: gone, or at most awaiting collection by its new parent.
    std::string status = "/proc/" + std::to_string(std::stoi(started.out)) + "/stat";
    EXPECT_TRUE(!fs::exists(status) || contains(readTextFile(status), ") Z ")) << readTextFile(status);
    EXPECT_EQ(mac.macsim({"finder", "stop"}).status, 0); // nothing loaded: nothing to do
}
