#include "common/constants.h"
#include "crypto/drive_registry.h"
#include "crypto/manifest.h"
#include "common/errors.h"
#include "platform/posix/posix_files.h"
#include "tests/support/expectations.h"
#include "tests/support/registry_fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const std::string applicationSupport = "/Users/casey/Library/Application Support";
const std::string drives = applicationSupport + "/Ferrolatch/Drives";
const std::string upperUUID = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
const std::string lowerUUID = "6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";

Manifest nativeVolume(std::string uuid = upperUUID)
{
    Manifest manifest;
    manifest.version = 1;
    manifest.relyingPartyID = std::string(relyingPartyDomain);
    manifest.credentialID = "Y3JlZGVudGlhbA";
    manifest.prfSalt = std::string(43, 'S');
    manifest.wrappedPassword = std::string(95, 'W');
    manifest.createdAt = "2026-01-31T09:15:00Z";
    manifest.resourceKind = "native-apfs-volume";
    manifest.volumeUUID = std::move(uuid);
    manifest.volumeName = "PRIVATE";
    return manifest;
}

// A Mac whose Application Support folder exists and whose registry does not yet.
struct Registry {
    Registry()
    {
        for (std::string path : {"/Users", "/Users/casey", "/Users/casey/Library", applicationSupport.c_str()})
            files.putDirectory(path);
    }
    void registerDrive(const Manifest& manifest) { ferrolatch::registerDrive(files, paths, suppression, manifest); }
    std::set<std::string> uuids() { return registeredVolumeUUIDs(files, paths); }

    RegistryFiles files;
    RegistryPaths paths;
    RecordingSuppression suppression;
};

}

TEST(DriveRegistry, RefusesUnregistrableManifestsBeforeWritingAnything)
{
    struct Case {
        const char* name;
        std::function<void(Manifest&)> change;
    };
    const Case cases[] = {
        {"pending kind", [](Manifest& m) { m.resourceKind = "native-apfs-volume-pending"; }},
        {"browser-made", [](Manifest& m) { m.relyingPartyID = "localhost"; m.resourceKind = "apfs-volume"; }},
        {"localhost relying party", [](Manifest& m) { m.relyingPartyID = "localhost"; }},
        {"version 2", [](Manifest& m) { m.version = 2; }},
        {"no kind", [](Manifest& m) { m.resourceKind.reset(); }},
        {"kind in other case", [](Manifest& m) { m.resourceKind = "Native-APFS-Volume"; }},
        {"no UUID", [](Manifest& m) { m.volumeUUID.reset(); }},
        {"not a UUID", [](Manifest& m) { m.volumeUUID = "not-a-uuid"; }},
        {"UUID with a path in it", [](Manifest& m) { m.volumeUUID = "../../../../../../tmp/6F1C9A2E-3B4D-4E5F"; }},
        {"UUID in braces", [](Manifest& m) { m.volumeUUID = "{" + upperUUID + "}"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        Manifest manifest = nativeVolume();
        c.change(manifest);
        EXPECT_PROOF_ERROR(registry.registerDrive(manifest),
                           "refusing to register an invalid Ferrolatch volume manifest");
        EXPECT_EQ(registry.files.mutations, 0);
        EXPECT_TRUE(registry.suppression.installed.empty());
    }
}

TEST(DriveRegistry, EntryIsNamedByTheUpperCaseUUIDAndHoldsTheEncodedManifest)
{
    Registry registry;
    Manifest manifest = nativeVolume(lowerUUID);
    manifest.volumeName.reset(); // not required
    registry.registerDrive(manifest);

    const std::string entry = drives + "/" + upperUUID + ".json";
    ASSERT_TRUE(registry.files.exists(entry));
    EXPECT_EQ(registry.files.entries[entry].contents, encodeManifest(manifest));
    EXPECT_EQ(registry.uuids(), std::set<std::string> {upperUUID});
    // The suppression gets the text as the manifest holds it; it canonicalises itself.
    EXPECT_EQ(registry.suppression.installed, std::vector<std::string> {lowerUUID});
}

TEST(DriveRegistry, CreatesPrivateDirectoriesAndEntries)
{
    Registry registry;
    registry.registerDrive(nativeVolume());

    EXPECT_EQ(registry.files.created, (std::vector<std::string> {applicationSupport + "/Ferrolatch", drives}));
    EXPECT_EQ(registry.files.entries[applicationSupport + "/Ferrolatch"].mode, 0700u);
    EXPECT_EQ(registry.files.entries[drives].mode, 0700u);
    EXPECT_EQ(registry.files.entries[drives + "/" + upperUUID + ".json"].mode, 0600u);
    EXPECT_EQ(registry.files.entries[applicationSupport].mode, 0755u) << "existing directories stay as they are";
}

TEST(DriveRegistry, ExistingRegistryDirectoryIsAcceptedUnchanged)
{
    Registry registry;
    registry.files.putDirectory(applicationSupport + "/Ferrolatch");
    registry.files.putDirectory(drives, 0750);
    registry.registerDrive(nativeVolume());
    EXPECT_EQ(registry.files.entries[drives].mode, 0750u);
    EXPECT_TRUE(registry.files.created.empty());
}

TEST(DriveRegistry, RegisteringAgainReplacesTheOneEntry)
{
    Registry registry;
    registry.registerDrive(nativeVolume(lowerUUID));
    Manifest second = nativeVolume(upperUUID);
    second.createdAt = "2026-02-01T10:00:00Z";
    registry.registerDrive(second);

    EXPECT_EQ(registry.files.listDirectory(drives), std::vector<std::string> {upperUUID + ".json"});
    EXPECT_EQ(registry.files.entries[drives + "/" + upperUUID + ".json"].contents, encodeManifest(second));
    EXPECT_EQ(registry.uuids(), std::set<std::string> {upperUUID});
}

TEST(DriveRegistry, DismissesTheStaleAgentOnlyWhenTheSuppressionChanged)
{
    for (bool changed : {true, false}) {
        SCOPED_TRACE(changed);
        Registry registry;
        registry.suppression.changes = changed;
        registry.registerDrive(nativeVolume());
        EXPECT_EQ(registry.suppression.dismissals, changed ? 1 : 0);
    }
}

TEST(DriveRegistry, SuppressionFailuresFailTheRegistrationAfterTheEntryIsWritten)
{
    {
        Registry registry;
        registry.suppression.installFailure = "this macOS build does not expose the per-volume APFS prompt "
                                              "suppression used by Ferrolatch";
        EXPECT_PROOF_ERROR(registry.registerDrive(nativeVolume()), *registry.suppression.installFailure);
        EXPECT_EQ(registry.suppression.dismissals, 0);
        EXPECT_EQ(registry.uuids(), std::set<std::string> {upperUUID});
    }
    {
        Registry registry;
        registry.suppression.dismissFailure = "macOS did not dismiss its stale APFS password agent";
        EXPECT_PROOF_ERROR(registry.registerDrive(nativeVolume()), *registry.suppression.dismissFailure);
        EXPECT_EQ(registry.uuids(), std::set<std::string> {upperUUID});
    }
}

TEST(DriveRegistry, PlatformFailuresPassUpAndStopBeforeTheSuppression)
{
    for (const char* operation : {"createDirectory", "writeFileAtomically", "setMode"}) {
        SCOPED_TRACE(operation);
        Registry registry;
        registry.files.fail(operation);
        EXPECT_THROW(registry.registerDrive(nativeVolume()), PlatformError);
        EXPECT_TRUE(registry.suppression.installed.empty());
    }
    Registry registry;
    registry.paths.applicationSupport.reset();
    EXPECT_THROW(registry.registerDrive(nativeVolume()), PlatformError);
    EXPECT_EQ(registry.files.mutations, 0);
}

TEST(DriveRegistry, ListingIdentifiesEntriesByContentAndIgnoresTheRest)
{
    Registry registry;
    registry.registerDrive(nativeVolume());
    const std::string otherUUID = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    const std::string thirdUUID = "11111111-2222-4333-8444-555555555555";
    Manifest pending = nativeVolume("22222222-3333-4444-8555-666666666666");
    pending.resourceKind = "native-apfs-volume-pending";

    registry.files.put(drives + "/anything.json", encodeManifest(nativeVolume(otherUUID)));
    registry.files.put(drives + "/copy-in-lower-case.json", encodeManifest(nativeVolume(lowerUUID)));
    registry.files.put(drives + "/notes.txt", encodeManifest(nativeVolume("33333333-3333-4333-8333-333333333333")));
    registry.files.put(drives + "/entry.JSON", encodeManifest(nativeVolume("44444444-4444-4444-8444-444444444444")));
    registry.files.put(drives + "/.hidden.json", encodeManifest(nativeVolume("55555555-5555-4555-8555-555555555555")));
    registry.files.put(drives + "/flagged.json", encodeManifest(nativeVolume("66666666-6666-4666-8666-666666666666")),
                       static_cast<std::uint32_t>(FileFlag::Hidden));
    registry.files.put(drives + "/broken.json", "{\"version\": 1");
    registry.files.put(drives + "/pending.json", encodeManifest(pending));
    registry.files.putDirectory(drives + "/folder.json");
    registry.files.putDirectory(drives + "/nested");
    registry.files.put(drives + "/nested/deep.json", encodeManifest(nativeVolume(thirdUUID)));

    EXPECT_EQ(registry.uuids(), (std::set<std::string> {otherUUID, upperUUID}));
}

// Entries are known by their content: every one holding the volume goes,
// whatever its name, and no other file does.
TEST(DriveRegistry, UnregisteringRemovesEveryEntryOfTheVolumeAndNothingElse)
{
    Registry registry;
    registry.registerDrive(nativeVolume());
    const std::string otherUUID = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    registry.registerDrive(nativeVolume(otherUUID));
    registry.files.put(drives + "/copy-in-lower-case.json", encodeManifest(nativeVolume(lowerUUID)));
    registry.files.put(drives + "/notes.txt", encodeManifest(nativeVolume(upperUUID)));

    EXPECT_TRUE(unregisterDrive(registry.files, registry.paths, lowerUUID));
    EXPECT_EQ(registry.uuids(), (std::set<std::string> {otherUUID}));
    EXPECT_TRUE(registry.files.entries.contains(drives + "/notes.txt"));
    EXPECT_FALSE(registry.files.entries.contains(drives + "/copy-in-lower-case.json"));

    EXPECT_FALSE(unregisterDrive(registry.files, registry.paths, upperUUID));
    EXPECT_FALSE(unregisterDrive(registry.files, registry.paths, "not-a-uuid"));
    Registry empty;
    EXPECT_FALSE(unregisterDrive(empty.files, empty.paths, upperUUID));
}

TEST(DriveRegistry, ListingNeverFailsAndCreatesNothing)
{
    {
        Registry registry; // no registry directory yet
        EXPECT_TRUE(registry.uuids().empty());
        EXPECT_EQ(registry.files.mutations, 0);
    }
    {
        Registry registry;
        registry.paths.applicationSupport.reset();
        EXPECT_TRUE(registry.uuids().empty());
    }
    {
        Registry registry;
        registry.registerDrive(nativeVolume());
        registry.files.fail("listDirectory");
        EXPECT_TRUE(registry.uuids().empty());
    }
    {
        Registry registry;
        registry.registerDrive(nativeVolume());
        registry.files.fail("readFile");
        EXPECT_TRUE(registry.uuids().empty());
    }
}

TEST(DriveRegistry, AnEntryWhoseFlagsCannotBeReadHidesOnlyItself)
{
    Registry registry;
    registry.registerDrive(nativeVolume());
    const std::string otherUUID = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    registry.files.put(drives + "/0-listed-first.json", encodeManifest(nativeVolume(otherUUID)));
    registry.files.failAttributesOf(drives + "/0-listed-first.json");
    EXPECT_EQ(registry.uuids(), std::set<std::string> {upperUUID});
}

TEST(DriveRegistry, SingleEntryNeedsTheExactJsonExtension)
{
    Registry registry;
    registry.files.putDirectory(applicationSupport + "/Ferrolatch");
    registry.files.putDirectory(drives);
    const std::string bytes = encodeManifest(nativeVolume(lowerUUID));
    struct Case {
        const char* name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"x.json", upperUUID}, {"a.b.json", upperUUID}, {"x.JSON", std::nullopt}, {"x.json.bak", std::nullopt},
        {"json", std::nullopt}, {"x.jsonl", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry.files.put(drives + "/" + c.name, bytes);
        EXPECT_EQ(registeredVolumeUUID(registry.files, drives + "/" + c.name), c.expected);
    }
    EXPECT_EQ(registeredVolumeUUID(registry.files, drives + "/missing.json"), std::nullopt);
}

TEST(DriveRegistry, SupportDirectoryFollowsApplicationSupport)
{
    RegistryPaths paths;
    EXPECT_EQ(supportDirectory(paths), applicationSupport + "/Ferrolatch");
    paths.applicationSupport = applicationSupport + "/";
    EXPECT_EQ(supportDirectory(paths), applicationSupport + "/Ferrolatch");
}

// The real file system, so the permission bits are the kernel's, whatever the umask.
TEST(DriveRegistry, RealFileSystemGetsModes0700And0600)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-registry-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string root = pattern;
    mode_t previous = umask(0);
    PosixFiles files;
    RegistryPaths paths;
    paths.applicationSupport = root + "/Application Support";
    std::filesystem::create_directories(*paths.applicationSupport);
    RecordingSuppression suppression;
    registerDrive(files, paths, suppression, nativeVolume(lowerUUID));
    umask(previous);

    struct stat info {};
    ASSERT_EQ(stat((root + "/Application Support/Ferrolatch").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((root + "/Application Support/Ferrolatch/Drives").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((root + "/Application Support/Ferrolatch/Drives/" + upperUUID + ".json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(registeredVolumeUUIDs(files, paths), std::set<std::string> {upperUUID});
    std::filesystem::remove_all(root);
}
