#include "finder/disk_info_volume.h"
#include "finder/sidebar_catalog.h"
#include "platform/posix/posix_files.h"
#include "tests/support/file_map.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

namespace ferrolatch::FerrolatchFinderState {
namespace {

constexpr const char* catalog = "/group/sidebar-volumes.json";
constexpr const char* upperA = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";
constexpr const char* lowerA = "8b305870-f684-4dea-ba71-8dd6a6aa608c";
constexpr const char* upperB = "0F6E1C2D-3B4A-4C5D-8E7F-9A0B1C2D3E4F";

class CountingNotifications final : public Notifications {
public:
    std::vector<std::string> posted;
    void post(std::string_view name) override { posted.emplace_back(name); }
    Token observe(std::string_view, Observer) override { return 0; }
    void removeObserver(Token) override {}
};

class FixedPaths final : public Paths {
public:
    std::optional<std::string> container;
    std::string mainBundle() override { return {}; }
    std::optional<std::string> bundleResource(std::string_view, std::string_view) override { return {}; }
    std::string applicationSupportDirectory() override { return {}; }
    std::string systemFile(std::string_view path) override { return std::string(path); }
    std::optional<std::string> groupContainer(std::string_view identifier) override
    {
        EXPECT_EQ(identifier, applicationGroupIdentifier);
        return container;
    }
};

std::string uuidNumber(int number)
{
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", number);
    return text;
}

void expectFileError(const std::function<void()>& action, long code)
{
    try {
        action();
        FAIL() << "expected the file error " << code;
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), cocoaErrorDomain);
        EXPECT_EQ(error.code(), code) << error.what();
    }
}

TEST(SidebarCatalog, LivesInTheGroupContainerOrFailsWithoutOne)
{
    FixedPaths paths;
    expectFileError([&] { catalogURL(paths); }, fileNoSuchFileError);
    paths.container = "/Users/a/Library/Group Containers/T4QW8ZR2LM.com.quorvel.ferrolatch.finder";
    EXPECT_EQ(catalogURL(paths), *paths.container + "/sidebar-volumes.json");
}

TEST(SidebarCatalog, WritesUpperCaseSortedAndOnlyOnChange)
{
    testing::FileMap files;
    CountingNotifications notifications;
    writeCatalog(files, notifications, {lowerA, upperB}, catalog);
    EXPECT_EQ(files.files[catalog],
              std::string(R"({"version":1,"volumeUUIDs":[")") + upperB + R"(",")" + upperA + R"("]})");
    EXPECT_EQ(notifications.posted, std::vector<std::string> {std::string(volumesChangedNotification)});

    writeCatalog(files, notifications, {upperA, upperB}, catalog);
    writeCatalog(files, notifications, {upperA, upperB, lowerA}, catalog);
    EXPECT_EQ(files.atomicWrites, 1);
    EXPECT_EQ(notifications.posted.size(), 1u);

    writeCatalog(files, notifications, {upperA}, catalog);
    EXPECT_EQ(fetchCatalog(files, catalog), std::set<std::string> {upperA});
    EXPECT_EQ(notifications.posted.size(), 2u);
}

TEST(SidebarCatalog, AnEmptySetIsWrittenOnce)
{
    testing::FileMap files;
    CountingNotifications notifications;
    writeCatalog(files, notifications, {}, catalog);
    writeCatalog(files, notifications, {}, catalog);
    EXPECT_EQ(files.files[catalog], R"({"version":1,"volumeUUIDs":[]})");
    EXPECT_EQ(files.atomicWrites, 1);
    EXPECT_EQ(notifications.posted.size(), 1u);
}

TEST(SidebarCatalog, RefusesSetsItCannotWrite)
{
    std::set<std::string> most;
    for (int number = 0; number < 1024; ++number)
        most.insert(uuidNumber(number));
    testing::FileMap files;
    CountingNotifications notifications;
    writeCatalog(files, notifications, most, catalog);
    EXPECT_EQ(fetchCatalog(files, catalog).size(), 1024u);

    std::set<std::string> tooMany = most;
    tooMany.insert(uuidNumber(1024));
    std::string before = files.files[catalog];
    expectFileError([&] { writeCatalog(files, notifications, tooMany, catalog); }, fileWriteInvalidFileNameError);
    expectFileError([&] { writeCatalog(files, notifications, {upperA, "not-a-uuid"}, catalog); },
                    fileWriteInvalidFileNameError);
    EXPECT_EQ(files.files[catalog], before);
    EXPECT_EQ(notifications.posted.size(), 1u);
}

TEST(SidebarCatalog, ADamagedFileIsRewrittenAsADifference)
{
    testing::FileMap files;
    files.files[catalog] = "{";
    CountingNotifications notifications;
    writeCatalog(files, notifications, {upperA}, catalog);
    EXPECT_EQ(fetchCatalog(files, catalog), std::set<std::string> {upperA});
    EXPECT_EQ(notifications.posted.size(), 1u);
}

struct FetchCase {
    std::string name;
    std::string bytes;
    std::optional<long> code; // empty: accepted
    std::set<std::string> uuids = {};
};

TEST(SidebarCatalog, ReadsOnlyWhatItCanAcceptWhole)
{
    std::string padded = std::string(R"({"volumeUUIDs":[],"version":1})") + std::string(65537 - 30, ' ');
    std::string deep = std::string(60000, '[');
    std::vector<FetchCase> cases = {
        {"key order and spacing are free", std::string(" { \"volumeUUIDs\" : [\"") + lowerA + "\", \"" + upperA +
             "\"] ,\n \"version\" : 1 }",
         std::nullopt, {upperA}},
        {"an integral real version", R"({"version":1.0,"volumeUUIDs":[]})", std::nullopt, {}},
        {"unknown keys", R"({"version":1,"volumeUUIDs":[],"extra":true})", std::nullopt, {}},
        {"version 2", R"({"version":2,"volumeUUIDs":[]})", fileReadCorruptFileError},
        {"a malformed entry", std::string(R"({"version":1,"volumeUUIDs":[")") + upperA + R"(","x"]})",
         fileReadCorruptFileError},
        {"65,537 bytes of valid JSON", padded, fileReadCorruptFileError},
        {"not JSON", "version 1", 4864},
        {"no list", R"({"version":1})", 4864},
        {"a number in the list", R"({"version":1,"volumeUUIDs":[1]})", 4864},
        {"a string version", R"({"version":"1","volumeUUIDs":[]})", 4864},
        {"nested deeper than any catalog", deep, 4864},
    };
    for (const FetchCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::FileMap files;
        files.files[catalog] = c.bytes;
        if (!c.code)
            EXPECT_EQ(fetchCatalog(files, catalog), c.uuids);
        else
            expectFileError([&] { fetchCatalog(files, catalog); }, *c.code);
    }

    testing::FileMap files;
    std::string many = R"({"version":1,"volumeUUIDs":[)";
    for (int number = 0; number < 1025; ++number)
        many += (number ? ",\"" : "\"") + uuidNumber(number) + "\"";
    files.files[catalog] = many + "]}";
    expectFileError([&] { fetchCatalog(files, catalog); }, fileReadCorruptFileError);
    EXPECT_THROW(fetchCatalog(files, "/group/missing.json"), PlatformError);
}

TEST(SidebarCatalog, AnUnchangedSetLeavesTheFileAlone)
{
    std::filesystem::path directory = std::filesystem::temp_directory_path() / ("catalog-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    std::string url = (directory / "sidebar-volumes.json").string();
    PosixFiles files;
    CountingNotifications notifications;
    writeCatalog(files, notifications, {upperA}, url);
    struct stat first {};
    ASSERT_EQ(stat(url.c_str(), &first), 0);
    writeCatalog(files, notifications, {lowerA}, url);
    struct stat second {};
    ASSERT_EQ(stat(url.c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_EQ(first.st_mtim.tv_nsec, second.st_mtim.tv_nsec);
    EXPECT_EQ(notifications.posted.size(), 1u);
    std::filesystem::remove_all(directory);
}

class ListedVolumes final : public MountedVolumes {
public:
    std::vector<MountedVolumeInfo> volumes;
    std::vector<Hidden> asked;
    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override
    {
        asked.push_back(hidden);
        return volumes;
    }
};

TEST(MountedVolumeList, SkipsHiddenVolumesAndCountsUnknownAsInternal)
{
    ListedVolumes listing;
    listing.volumes = {{.path = "/Volumes/DATA", .uuid = lowerA, .isInternal = false},
                       {.path = "/Volumes/Other", .uuid = std::nullopt, .isInternal = std::nullopt}};
    std::vector<MountedVolume> volumes = mountedVolumes(listing);
    EXPECT_EQ(listing.asked, std::vector<MountedVolumes::Hidden> {MountedVolumes::Hidden::Skipped});
    EXPECT_EQ(volumes, (std::vector<MountedVolume> {{"/Volumes/DATA", lowerA, false}, {"/Volumes/Other", {}, true}}));
}

TEST(MountedVolumeList, SidebarKeepsMountedExternalEnrolledVolumes)
{
    std::vector<MountedVolume> volumes = {
        {"/Volumes/DATA/", lowerA, false},       // lower case, trailing slash
        {"/", upperA, false},                    // the root is never shown
        {"/Volumes/Inside", upperA, true},       // internal storage
        {"/Volumes/NoUUID", std::nullopt, false},
        {"/Volumes/Bad", "8B305870F684", false},
        {"relative/place", upperA, false},       // not a file location
        {"/Volumes/Stranger", upperB, false},    // not in the catalog
        {"/Volumes/./Again/../DATA2", upperA, false},
    };
    EXPECT_EQ(sidebarDirectoryURLs(volumes, {upperA}),
              (std::set<std::string> {"/Volumes/DATA", "/Volumes/DATA2"}));
    EXPECT_TRUE(sidebarDirectoryURLs(volumes, {}).empty());
}

TEST(MountedVolumeList, DiskInfoGivesOnlyMountedExternalEncryptedVolumes)
{
    PlistValue::Dictionary good = {{"Internal", false}, {"FileVault", true}, {"MountPoint", "/Volumes/DATA"},
                                   {"VolumeUUID", lowerA}};
    std::optional<MountedVolume> volume = mountedVolumeFromDiskInfo(good);
    ASSERT_TRUE(volume);
    EXPECT_EQ(*volume, (MountedVolume {"/Volumes/DATA", std::string(upperA), false}));

    struct Change {
        std::string key;
        std::optional<PlistValue> value; // empty: removed
    };
    std::vector<Change> refused = {{"Internal", true},         {"Internal", std::nullopt}, {"Internal", "false"},
                                   {"FileVault", false},       {"FileVault", std::nullopt}, {"MountPoint", "/"},
                                   {"MountPoint", ""},         {"MountPoint", "Volumes/DATA"},
                                   {"MountPoint", std::nullopt}, {"VolumeUUID", "nope"}, {"VolumeUUID", 7}};
    for (const Change& change : refused) {
        SCOPED_TRACE(change.key);
        PlistValue::Dictionary info = good;
        if (change.value)
            info[change.key] = *change.value;
        else
            info.erase(change.key);
        EXPECT_FALSE(mountedVolumeFromDiskInfo(info));
    }
}

}
}
