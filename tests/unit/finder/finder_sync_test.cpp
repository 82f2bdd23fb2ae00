// The Finder extension's object with fakes of every port it reaches: what
// Finder is told to watch, when, and what is logged.
#include "finder/finder_sync.h"
#include "finder/sidebar_catalog.h"
#include "tests/support/fakes.h"
#include "tests/support/file_map.h"
#include "tests/support/finder_sync_fakes.h"

#include <gtest/gtest.h>

#include <map>

namespace ferrolatch::testing {
namespace {

constexpr const char* container = "/Users/a/Library/Group Containers/group";
constexpr const char* catalogFile = "/Users/a/Library/Group Containers/group/sidebar-volumes.json";
constexpr const char* vaultUUID = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";
constexpr const char* bootstrapUUID = "0F6E1C2D-3B4A-4C5D-8E7F-9A0B1C2D3E4F";
constexpr const char* photosUUID = "11111111-2222-4333-8444-555555555555";

class ContainerPaths final : public Paths {
public:
    std::optional<std::string> groupContainer(std::string_view identifier) override
    {
        EXPECT_EQ(identifier, FerrolatchFinderState::applicationGroupIdentifier);
        return available ? std::optional<std::string>(container) : std::nullopt;
    }
    std::string mainBundle() override { return {}; }
    std::optional<std::string> bundleResource(std::string_view, std::string_view) override { return {}; }
    std::string applicationSupportDirectory() override { return {}; }
    std::string systemFile(std::string_view path) override { return std::string(path); }
    bool available = true;
};

// The listing leaves hidden volumes out when asked to, as the system's does.
class FakeListing final : public MountedVolumes {
public:
    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override
    {
        std::vector<MountedVolumeInfo> listed;
        for (const MountedVolumeInfo& volume : volumes)
            if (hidden == Hidden::Listed || volume.isBrowsable.value_or(true))
                listed.push_back(volume);
        return listed;
    }
    std::vector<MountedVolumeInfo> volumes;
};

// Both notification centers: every registration and removal in order, and
// delivery to whoever is still registered.
class FakeCenters final : public VolumeEvents, public Notifications {
public:
    VolumeEvents::Token observe(VolumeEvents::Observer observer) override
    {
        registrations.push_back("workspace");
        workspace[++lastToken] = std::move(observer);
        return lastToken;
    }
    Notifications::Token observe(std::string_view name, Notifications::Observer observer) override
    {
        registrations.push_back("distributed " + std::string(name));
        distributed[++lastToken] = {std::string(name), std::move(observer)};
        return lastToken;
    }
    void post(std::string_view name) override { deliver(name); }
    void removeObserver(unsigned long token) override
    {
        removed.push_back(token);
        workspace.erase(token);
        distributed.erase(token);
    }
    void fire(VolumeEventKind kind, const std::string& path = "/Volumes/Vault")
    {
        auto observers = workspace;
        for (auto& [token, observer] : observers)
            observer({kind, path});
    }
    void deliver(std::string_view name)
    {
        auto observers = distributed;
        for (auto& [token, entry] : observers)
            if (entry.first == name)
                entry.second();
    }
    std::size_t observers() const { return workspace.size() + distributed.size(); }

    std::vector<std::string> registrations;
    std::vector<unsigned long> removed;

private:
    unsigned long lastToken = 0;
    std::map<unsigned long, VolumeEvents::Observer> workspace;
    std::map<unsigned long, std::pair<std::string, Notifications::Observer>> distributed;
};

MountedVolumeInfo volume(const std::string& path, std::optional<std::string> uuid, std::optional<bool> internal = false,
                         std::optional<bool> browsable = true)
{
    return {.path = path, .uuid = std::move(uuid), .isInternal = internal, .isBrowsable = browsable};
}

std::string catalogText(const std::vector<std::string>& uuids)
{
    std::string text = R"({"version": 1, "volumeUUIDs": [)";
    for (std::size_t index = 0; index < uuids.size(); ++index)
        text += (index ? ", \"" : "\"") + uuids[index] + "\"";
    return text + "]}";
}

struct Bench {
    FileMap files;
    ContainerPaths paths;
    RecordingLog log;
    FakeListing listing;
    FakeCenters centers;
    FakeFinderSyncController controller;

    FinderSyncServices services() { return {files, paths, log, listing, centers, centers, controller}; }
    void publish(const std::vector<std::string>& uuids) { files.files[catalogFile] = catalogText(uuids); }
};

std::string countLine(std::size_t count)
{
    return "Ferrolatch sidebar: " + std::to_string(count) + " enrolled volumes";
}

struct WatchCase {
    std::string name;
    std::vector<MountedVolumeInfo> volumes;
    std::optional<std::string> catalog; // the file's text; none: no file
    bool container = true;
    std::set<std::string> watched;
};

const WatchCase watchCases[] = {
    {"an enrolled external volume", {volume("/", "AAAAAAAA-0000-4000-8000-000000000000", true),
                                     volume("/Volumes/Vault", vaultUUID)},
     catalogText({vaultUUID}), true, {"/Volumes/Vault"}},
    {"enrolled but not mounted", {volume("/Volumes/Photos", photosUUID)}, catalogText({vaultUUID}), true, {}},
    {"mounted but not enrolled", {volume("/Volumes/Photos", photosUUID)}, catalogText({}), true, {}},
    {"enrolled on internal storage", {volume("/Volumes/Vault", vaultUUID, true)}, catalogText({vaultUUID}), true, {}},
    {"internal when the system does not say", {volume("/Volumes/Vault", vaultUUID, std::nullopt)},
     catalogText({vaultUUID}), true, {}},
    {"enrolled and mounted at /", {volume("/", vaultUUID, false)}, catalogText({vaultUUID}), true, {}},
    {"the hidden bootstrap volume", {volume("/Volumes/FERROLATCH", bootstrapUUID, false, false),
                                     volume("/Volumes/Vault", vaultUUID)},
     catalogText({vaultUUID, bootstrapUUID}), true, {"/Volumes/Vault"}},
    {"a UUID reported in lower case", {volume("/Volumes/Vault/", "8b305870-f684-4dea-ba71-8dd6a6aa608c")},
     catalogText({vaultUUID}), true, {"/Volumes/Vault"}},
    {"a volume without a UUID", {volume("/Volumes/Vault", std::nullopt)}, catalogText({vaultUUID}), true, {}},
    {"no catalog yet", {volume("/Volumes/Vault", vaultUUID)}, std::nullopt, true, {}},
    {"a damaged catalog", {volume("/Volumes/Vault", vaultUUID)}, R"({"version": 2, "volumeUUIDs": []})", true, {}},
    {"a catalog with a malformed entry", {volume("/Volumes/Vault", vaultUUID)},
     catalogText({vaultUUID, "not-a-uuid"}), true, {}},
    {"no group container", {volume("/Volumes/Vault", vaultUUID)}, catalogText({vaultUUID}), false, {}},
};

TEST(FerrolatchFinderSync, WatchesOnlyTheMountedExternalEnrolledVolumes)
{
    for (const WatchCase& c : watchCases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.listing.volumes = c.volumes;
        if (c.catalog)
            bench.files.files[catalogFile] = *c.catalog;
        bench.paths.available = c.container;
        FerrolatchFinderSync extension(bench.services());
        ASSERT_EQ(bench.controller.sets.size(), 1u);
        EXPECT_EQ(bench.controller.sets.front(), c.watched);
        // A missing or damaged catalog is not worth a line of its own.
        EXPECT_EQ(bench.log.lines, std::vector<std::string> {countLine(c.watched.size())});
    }
}

TEST(FerrolatchFinderSync, ObservesTheThreeVolumeEventsThenTheCatalogNotificationThenRefreshes)
{
    Bench bench;
    bench.publish({vaultUUID});
    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID)};
    FerrolatchFinderSync extension(bench.services());
    EXPECT_EQ(bench.centers.registrations,
              (std::vector<std::string> {"workspace", "workspace", "workspace",
                                         "distributed com.quorvel.ferrolatch.finder.volumes-changed"}));
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Vault"}));
    EXPECT_EQ(bench.log.lines, std::vector<std::string> {countLine(1)});
}

TEST(FerrolatchFinderSync, AnUnchangedSetIsNeitherSetNorLogged)
{
    Bench bench;
    bench.publish({vaultUUID});
    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID)};
    FerrolatchFinderSync extension(bench.services());
    extension.refresh();
    bench.centers.fire(VolumeEventKind::DidMount, "/Volumes/Other");
    bench.centers.deliver(FerrolatchFinderState::volumesChangedNotification);
    EXPECT_EQ(bench.controller.sets.size(), 1u);
    EXPECT_EQ(bench.log.lines.size(), 1u);
}

TEST(FerrolatchFinderSync, AnEmptySetIsWrittenOnceWhenFinderHasNoneAndNotWhenItHasTheSame)
{
    Bench bench;
    {
        FerrolatchFinderSync extension(bench.services());
        extension.refresh();
        EXPECT_EQ(bench.controller.sets, (std::vector<std::set<std::string>> {{}}));
        EXPECT_EQ(bench.log.lines, std::vector<std::string> {countLine(0)});
    }
    Bench loaded;
    loaded.controller.urls = std::set<std::string> {};
    FerrolatchFinderSync extension(loaded.services());
    EXPECT_TRUE(loaded.controller.sets.empty());
    EXPECT_TRUE(loaded.log.lines.empty());
}

TEST(FerrolatchFinderSync, EachVolumeEventRecomputesTheWatchedFolders)
{
    Bench bench;
    bench.publish({vaultUUID});
    FerrolatchFinderSync extension(bench.services());

    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID)};
    bench.centers.fire(VolumeEventKind::DidMount);
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Vault"}));

    bench.listing.volumes = {volume("/Volumes/Safe", vaultUUID)};
    bench.centers.fire(VolumeEventKind::DidRenameVolume, "/Volumes/Safe");
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Safe"}));

    bench.listing.volumes.clear();
    bench.centers.fire(VolumeEventKind::DidUnmount, "/Volumes/Safe");
    EXPECT_EQ(bench.controller.urls, std::set<std::string> {});
    EXPECT_EQ(bench.log.lines, (std::vector<std::string> {countLine(0), countLine(1), countLine(1), countLine(0)}));
}

TEST(FerrolatchFinderSync, TheChangeNotificationAppliesARewrittenCatalogWithoutAVolumeEvent)
{
    Bench bench;
    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID), volume("/Volumes/Photos", photosUUID)};
    bench.publish({vaultUUID});
    FerrolatchFinderSync extension(bench.services());
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Vault"}));

    bench.publish({vaultUUID, photosUUID});
    bench.centers.deliver("com.quorvel.ferrolatch.finder.other");
    EXPECT_EQ(bench.controller.sets.size(), 1u);
    bench.centers.deliver(FerrolatchFinderState::volumesChangedNotification);
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Photos", "/Volumes/Vault"}));
    EXPECT_EQ(bench.log.lines.back(), countLine(2));

    // A catalog the agent left damaged counts as none.
    bench.files.files[catalogFile] = "{";
    bench.centers.deliver(FerrolatchFinderState::volumesChangedNotification);
    EXPECT_EQ(bench.controller.urls, std::set<std::string> {});
}

TEST(FerrolatchFinderSync, TeardownRemovesEveryObserver)
{
    Bench bench;
    bench.publish({vaultUUID});
    {
        FerrolatchFinderSync extension(bench.services());
        EXPECT_EQ(bench.centers.observers(), 4u);
    }
    EXPECT_EQ(bench.centers.observers(), 0u);
    EXPECT_EQ(bench.centers.removed.size(), 4u);
    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID)};
    bench.centers.fire(VolumeEventKind::DidMount);
    bench.centers.deliver(FerrolatchFinderState::volumesChangedNotification);
    EXPECT_EQ(bench.controller.sets.size(), 1u);
}

TEST(FerrolatchFinderSync, AControllerThatCannotBeSetIsLoggedAndTriedAgainOnTheNextEvent)
{
    Bench bench;
    bench.publish({vaultUUID});
    bench.listing.volumes = {volume("/Volumes/Vault", vaultUUID)};
    bench.controller.failSet = true;
    FerrolatchFinderSync extension(bench.services());
    EXPECT_EQ(bench.log.lines,
              std::vector<std::string> {"Ferrolatch sidebar could not update the watched folders: The disk is full."});
    bench.controller.failSet = false;
    bench.centers.fire(VolumeEventKind::DidMount);
    EXPECT_EQ(bench.controller.urls, (std::set<std::string> {"/Volumes/Vault"}));
    EXPECT_EQ(bench.log.lines.back(), countLine(1));
}

}
}
