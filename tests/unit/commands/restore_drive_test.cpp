#include "commands/restore_drive.h"

#include "commands/receipt.h"
#include "common/constants.h"
#include "common/hex.h"
#include "common/sha256.h"
#include "crypto/manifest.h"
#include "disk/system_tools.h"
#include "platform/posix/posix_files.h"
#include "tests/support/fakes.h"
#include "tests/support/drive_fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::drive_testing;
using namespace ferrolatch::testing;
namespace fs = std::filesystem;

namespace {

TEST(RestoreSpace, MarginIs64MiBUpToItsLimitThenFivePercent)
{
    EXPECT_EQ(requiredRestoreSpace(0), 67'108'864);
    EXPECT_EQ(requiredRestoreSpace(1'342'177'279), 1'409'286'143);
    EXPECT_EQ(requiredRestoreSpace(1'342'177'280), 1'342'177'280 + 67'108'864);
    EXPECT_EQ(requiredRestoreSpace(2'000'000'000), 2'100'000'000);
    EXPECT_EQ(requiredRestoreSpace(INT64_MAX), INT64_MAX);
}

// The host's file system, with the free space the test decides.
class SizedFiles final : public Files {
public:
    bool exists(const std::string& path) override { return host.exists(path); }
    std::optional<FileAttributes> attributes(const std::string& path) override { return host.attributes(path); }
    bool isWritable(const std::string& path) override { return host.isWritable(path); }
    std::string readFile(const std::string& path) override { return host.readFile(path); }
    void writeFileAtomically(const std::string& path, const std::string& bytes) override
    {
        host.writeFileAtomically(path, bytes);
    }
    void removeFile(const std::string& path) override { host.removeFile(path); }
    void createDirectory(const std::string& path, std::uint32_t mode) override { host.createDirectory(path, mode); }
    std::vector<std::string> listDirectory(const std::string& path) override { return host.listDirectory(path); }
    void setMode(const std::string& path, std::uint32_t mode) override { host.setMode(path, mode); }
    void setFlags(const std::string& path, std::uint32_t flags) override { host.setFlags(path, flags); }
    void clearFlags(const std::string& path, std::uint32_t flags) override { host.clearFlags(path, flags); }
    std::optional<FileAttributes> attributesFollowingLinks(const std::string& path) override
    {
        return host.attributesFollowingLinks(path);
    }
    std::unique_ptr<FileReader> openForReading(const std::string& path) override { return host.openForReading(path); }
    std::optional<std::uint64_t> freeSpace(const std::string& path) override
    {
        freeSpaceAskedFor = path;
        return free;
    }

    PosixFiles host;
    std::optional<std::uint64_t> free = std::uint64_t {1} << 40;
    std::string freeSpaceAskedFor;
};

// The scripted disk tools, with ditto and sync played for real on the host.
class CopyingTools final : public ToolRunner {
public:
    explicit CopyingTools(ScriptedTools& disks) : m_disks(disks) {}
    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override
    {
        if (executable == tools::ditto) {
            dittoCalls.push_back(arguments);
            if (dittoFails)
                return {1, "", "ditto: No space left on device"};
            fs::copy(arguments.at(0), arguments.at(1), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            if (afterCopy)
                afterCopy(arguments.at(1));
            return {0, "", ""};
        }
        if (executable == tools::sync) {
            ++syncs;
            return {0, "", ""};
        }
        return m_disks.launch(executable, arguments, standardInput);
    }

    std::vector<std::vector<std::string>> dittoCalls;
    int syncs = 0;
    bool dittoFails = false;
    std::function<void(const std::string& destination)> afterCopy;

private:
    ScriptedTools& m_disks;
};

const std::string uuid = "33333333-AAAA-4AAA-8AAA-333333333333";

struct Restore : ::testing::Test {
    std::string base;
    std::string source;
    std::string mount;
    std::string manifestPath;
    std::string receiptPath;
    ScriptedTools disks;
    CopyingTools tools {disks};
    SizedFiles files;
    RecordingLog log;
    FakePaths paths;
    FakeWorkspace workspace;
    std::ostringstream out;
    int prompts = 0;
    DriveVolumeServices services {tools, files, log, paths, workspace, out, [this](const Manifest&) {
                                      ++prompts;
                                      return SecretBytes::copyOf(std::string_view("the-password"));
                                  }};

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "restore-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base = pattern;
        source = base + "/backup";
        mount = base + "/Volumes/PRIVATE";
        manifestPath = base + "/private.json";
        receiptPath = base + "/backup.sha256";
        fs::create_directories(mount);
        write(source + "/notes.txt", "notes\n");
        write(source + "/photos/cat.jpg", "meow");
        write(receiptPath, entry("notes\n", "notes.txt") + entry("meow", "photos/cat.jpg"));

        Manifest manifest;
        manifest.version = protocolVersion;
        manifest.relyingPartyID = std::string(relyingPartyDomain);
        manifest.credentialID = "Y3JlZA";
        manifest.prfSalt = "c2FsdA";
        manifest.wrappedPassword = "d3JhcA";
        manifest.createdAt = "2026-01-31T09:15:00Z";
        manifest.resourceKind = "native-apfs-volume";
        manifest.volumeUUID = uuid;
        manifest.volumeName = "PRIVATE";
        write(manifestPath, encodeManifest(manifest));
    }
    void TearDown() override { fs::remove_all(base); }

    static void write(const std::string& path, const std::string& contents)
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << contents;
    }
    static std::string entry(std::string_view contents, const std::string& path)
    {
        return hexString(sha256(contents)) + " *./" + path + "\n";
    }

    void lockedVolume()
    {
        disks.expect(listArguments, inventory("disk5", {{"disk5s2", uuid, "PRIVATE", true, true}}));
    }
    void unlocksAndMounts()
    {
        disks.expect({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"});
        disks.expect({"info", "-plist", "disk5s2"}, volumeInfo(mount));
    }
    void locks() { disks.expect({"apfs", "lockVolume", "disk5s2"}); }

    std::string failure()
    {
        try {
            runRestoreDrive(services, manifestPath, source, receiptPath);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "no failure";
    }
};

}

TEST_F(Restore, CopiesVerifiesLeavesTheReceiptAndLocks)
{
    lockedVolume();
    unlocksAndMounts();
    locks();
    runRestoreDrive(services, manifestPath, source + "/./", receiptPath);
    EXPECT_EQ(out.str(), "VERIFYING SOURCE RECEIPT\n"
                         "SOURCE VERIFIED \u2014 2 files, 10 bytes\n"
                         "COPYING VERIFIED SOURCE TO " + mount + "/Backups\n"
                         "VERIFYING DESTINATION RECEIPT\n"
                         "RESTORE PASSED\n"
                         "Copied and re-verified 2 files, then re-locked the encrypted volume.\n");
    EXPECT_EQ(tools.dittoCalls, (std::vector<std::vector<std::string>> {{source, mount + "/Backups"}}));
    EXPECT_EQ(tools.syncs, 2);
    EXPECT_EQ(files.freeSpaceAskedFor, mount);
    EXPECT_EQ(files.readFile(mount + "/staged-backup.sha256"), files.readFile(receiptPath));
    EXPECT_EQ(files.readFile(mount + "/Backups/photos/cat.jpg"), "meow");
    EXPECT_EQ(disks.calls.at(1).standardInput, "the-password\n");
    EXPECT_TRUE(disks.finished());
}

TEST_F(Restore, RefusesAnAlteredSourceBeforeThePasskey)
{
    write(source + "/notes.txt", "notes, edited\n");
    EXPECT_EQ(failure(), "SHA-256 mismatch for notes.txt");
    EXPECT_EQ(out.str(), "VERIFYING SOURCE RECEIPT\n");
    EXPECT_EQ(prompts, 0);
    EXPECT_TRUE(disks.calls.empty());
}

TEST_F(Restore, RefusesAVolumeThatIsNotLockedBeforeThePasskey)
{
    disks.expect(listArguments, inventory("disk5", {{"disk5s2", uuid, "PRIVATE", true, false}}));
    EXPECT_EQ(failure(), "the native Ferrolatch APFS volume must be encrypted and locked before restore");
    disks.expect(listArguments, inventory("disk5", {{"disk5s2", "44444444-AAAA-4AAA-8AAA-444444444444", "X", true, true}}));
    EXPECT_EQ(failure(), "the native Ferrolatch APFS volume is not attached");
    EXPECT_EQ(prompts, 0);
}

TEST_F(Restore, AFailedUnlockIsReportedWithoutALock)
{
    lockedVolume();
    disks.expectFailure({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, "Error unlocking: wrong passphrase");
    EXPECT_EQ(failure(), "diskutil failed: Error unlocking: wrong passphrase");
    EXPECT_TRUE(disks.finished());
}

// Each failure after the unlock locks the volume once and reports its own error,
// even when that lock fails too.
TEST_F(Restore, EveryLaterFailureLocksAgainFirst)
{
    struct LaterFailure {
        std::string name;
        std::function<void(Restore&)> arrange;
        std::string message;
    };
    const LaterFailure failures[] = {
        {"existing Backups", [](Restore& r) { fs::create_directories(r.mount + "/Backups"); },
         "refusing to replace existing restore directory at "},
        {"one byte short of the margin",
         [](Restore& r) { r.files.free = static_cast<std::uint64_t>(requiredRestoreSpace(10) - 1); },
         "encrypted volume does not have enough free space for a verified restore"},
        {"no free-space figure", [](Restore& r) { r.files.free.reset(); },
         "encrypted volume does not have enough free space for a verified restore"},
        {"ditto fails", [](Restore& r) { r.tools.dittoFails = true; },
         "ditto failed: ditto: No space left on device"},
        {"copy damaged", [](Restore& r) {
             r.tools.afterCopy = [](const std::string& copy) { write(copy + "/photos/cat.jpg", "woof"); };
         }, "SHA-256 mismatch for photos/cat.jpg"},
        // The copy reached a folder elsewhere through a link: the same bytes
        // are found there, but none of them is on the volume.
        {"copy behind a folder link", [](Restore& r) {
             r.tools.afterCopy = [&r](const std::string& copy) {
                 write(r.base + "/elsewhere/cat.jpg", "meow");
                 fs::remove_all(copy + "/photos");
                 fs::create_directory_symlink(r.base + "/elsewhere", copy + "/photos");
             };
         }, "receipt entry is not a regular file: photos/cat.jpg"},
        {"file missing from the copy", [](Restore& r) {
             r.tools.afterCopy = [](const std::string& copy) { fs::remove(copy + "/notes.txt"); };
         }, "could not read attributes of"},
    };
    for (const LaterFailure& later : failures) {
        SCOPED_TRACE(later.name);
        fs::remove_all(mount);
        fs::create_directories(mount);
        files.free = std::uint64_t {1} << 40;
        tools.dittoFails = false;
        tools.afterCopy = nullptr;
        later.arrange(*this);
        lockedVolume();
        unlocksAndMounts();
        disks.expectFailure({"apfs", "lockVolume", "disk5s2"}, "Volume is busy");
        std::string message = failure();
        EXPECT_EQ(message.substr(0, later.message.size()), later.message) << message;
        EXPECT_TRUE(disks.finished());
        EXPECT_FALSE(fs::exists(mount + "/staged-backup.sha256"));
    }
}
