#include "platform/posix/posix_files.h"

#include "common/errors.h"
#include "platform/posix/linux_file_flags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace ferrolatch;

namespace {

constexpr std::uint32_t hidden = static_cast<std::uint32_t>(FileFlag::Hidden);
constexpr std::uint32_t immutable = static_cast<std::uint32_t>(FileFlag::UserImmutable);

class PosixFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "posix-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        previousMask = umask(022);
    }
    void TearDown() override
    {
        umask(previousMask);
        // Clear emulated flags first so nothing of ours stays behind.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            removexattr(entry.path().c_str(), emulated::fileFlagsAttribute);
        std::filesystem::remove_all(root);
    }

    std::string path(const std::string& name) const { return root + "/" + name; }

    void expectErrno(const std::function<void()>& action, int number, const std::string& mentions)
    {
        try {
            action();
            ADD_FAILURE() << "expected errno " << number;
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.domain(), posixErrorDomain);
            EXPECT_EQ(error.code(), number);
            EXPECT_NE(std::string(error.what()).find(mentions), std::string::npos) << error.what();
        }
    }

    std::vector<std::string> sortedListing(const std::string& directory)
    {
        std::vector<std::string> names = files.listDirectory(directory);
        std::sort(names.begin(), names.end());
        return names;
    }

    PosixFiles files;
    std::string root;
    mode_t previousMask = 0;
};

}

TEST_F(PosixFilesTest, AtomicWriteCreatesAndReplacesLeavingNoTemporaryFile)
{
    const std::string target = path("m.json");
    files.writeFileAtomically(target, "first");
    EXPECT_EQ(files.readFile(target), "first");
    auto created = files.attributes(target);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->type, FileAttributes::Type::Regular);
    EXPECT_EQ(created->mode, 0644u); // the default creation mode under umask 022
    EXPECT_EQ(created->size, 5u);

    std::string large(300000, 'x');
    files.writeFileAtomically(target, large);
    EXPECT_EQ(files.readFile(target), large);
    files.writeFileAtomically(target, "");
    EXPECT_EQ(files.readFile(target), "");
    EXPECT_EQ(sortedListing(root), std::vector<std::string> {"m.json"});
}

TEST_F(PosixFilesTest, NewFileWriteNeverReplacesWhatAppearedMeanwhile)
{
    const std::string target = path("m.json");
    files.writeNewFileAtomically(target, "first");
    EXPECT_EQ(files.readFile(target), "first");
    expectErrno([&] { files.writeNewFileAtomically(target, "second"); }, EEXIST, target);
    EXPECT_EQ(files.readFile(target), "first");
    // A dangling link counts as something there too.
    ASSERT_EQ(symlink("nowhere", path("link").c_str()), 0);
    expectErrno([&] { files.writeNewFileAtomically(path("link"), "x"); }, EEXIST, path("link"));
    EXPECT_EQ(sortedListing(root), (std::vector<std::string> {"link", "m.json"}));
}

TEST_F(PosixFilesTest, FailedWriteRemovesItsTemporaryFile)
{
    files.createDirectory(path("occupied"), 0755);
    files.writeFileAtomically(path("occupied/inside"), "kept");
    // A directory cannot be replaced by a file: the rename fails.
    expectErrno([&] { files.writeFileAtomically(path("occupied"), "new"); }, EISDIR, path("occupied"));
    EXPECT_EQ(sortedListing(root), std::vector<std::string> {"occupied"});
    expectErrno([&] { files.writeFileAtomically(path("missing/m.json"), "x"); }, ENOENT, "could not write");
}

TEST_F(PosixFilesTest, ImmutableFileRefusesWritesRemovalAndModeChangesUntilCleared)
{
    const std::string target = path("ferrolatch.json");
    files.writeFileAtomically(target, "protected");
    files.setFlags(target, hidden);
    files.setMode(target, 0444);
    files.setFlags(target, immutable);
    EXPECT_FALSE(files.isWritable(target));

    expectErrno([&] { files.writeFileAtomically(target, "replaced"); }, EPERM, "Operation not permitted");
    expectErrno([&] { files.removeFile(target); }, EPERM, "Operation not permitted");
    expectErrno([&] { files.setMode(target, 0644); }, EPERM, "Operation not permitted");
    EXPECT_EQ(files.readFile(target), "protected");
    EXPECT_EQ(files.attributes(target)->mode, 0444u);
    EXPECT_EQ(sortedListing(root), std::vector<std::string> {"ferrolatch.json"});

    files.clearFlags(target, immutable);
    EXPECT_EQ(files.attributes(target)->flags, hidden);
    files.setMode(target, 0644);
    files.writeFileAtomically(target, "replaced");
    EXPECT_EQ(files.readFile(target), "replaced");
    // The replacement is a new file: no flag carries over to it.
    EXPECT_EQ(files.attributes(target)->flags, 0u);
    files.removeFile(target);
    EXPECT_FALSE(files.exists(target));
}

TEST_F(PosixFilesTest, FlagsRoundTripThroughTheSharedAttribute)
{
    const std::string target = path("marker");
    files.writeFileAtomically(target, "x");
    EXPECT_EQ(files.attributes(target)->flags, 0u);
    files.setFlags(target, hidden);
    files.setFlags(target, immutable);
    EXPECT_EQ(files.attributes(target)->flags, hidden | immutable);

    char text[16] = {};
    ssize_t length = getxattr(target.c_str(), emulated::fileFlagsAttribute, text, sizeof text);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0))), "32770");

    files.clearFlags(target, hidden);
    EXPECT_EQ(files.attributes(target)->flags, immutable);
    files.clearFlags(target, immutable);
    EXPECT_EQ(files.attributes(target)->flags, 0u);
    EXPECT_LT(getxattr(target.c_str(), emulated::fileFlagsAttribute, text, sizeof text), 0);

    // Flags written by another writer of the same format are read back.
    ASSERT_EQ(setxattr(target.c_str(), emulated::fileFlagsAttribute, "2", 1, 0), 0);
    EXPECT_EQ(files.attributes(target)->flags, immutable);
    expectErrno([&] { files.setFlags(path("absent"), hidden); }, ENOENT, path("absent"));
}

TEST_F(PosixFilesTest, ReportsWhatIsAndIsNotThere)
{
    const std::string missing = path("nothing.json");
    EXPECT_FALSE(files.exists(missing));
    EXPECT_FALSE(files.attributes(missing));
    EXPECT_FALSE(files.attributes(path("nothing.json/below")));
    expectErrno([&] { files.readFile(missing); }, ENOENT, "could not read " + missing);
    expectErrno([&] { files.removeFile(missing); }, ENOENT, missing);

    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
    EXPECT_TRUE(files.exists(path("dangling")));
    EXPECT_EQ(files.attributes(path("dangling"))->type, FileAttributes::Type::SymbolicLink);
    EXPECT_EQ(files.attributes(root)->type, FileAttributes::Type::Directory);
}

TEST_F(PosixFilesTest, ReadsOnlyRegularFilesAndNeverWaitsForAWriter)
{
    ASSERT_EQ(symlink("/dev/null", path("device.json").c_str()), 0);
    expectErrno([&] { files.readFile(path("device.json")); }, EINVAL, "not a regular file");
    files.createDirectory(path("folder.json"), 0755);
    expectErrno([&] { files.readFile(path("folder.json")); }, EISDIR, path("folder.json"));

    const std::string fifo = path("ferrolatch.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&]() -> std::string {
        try {
            files.readFile(fifo);
            return "read without an error";
        } catch (const PlatformError& error) {
            return error.what();
        }
    });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let a reader stuck waiting for a writer go, so the test fails instead of hanging.
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        ADD_FAILURE() << "reading a FIFO waited for a writer";
    }
    EXPECT_EQ(reading.get(), "could not read " + fifo + ": not a regular file");
}

TEST_F(PosixFilesTest, CreatesDirectoriesWithTheirModeAndListsThem)
{
    const std::string nested = path("Support/Ferrolatch/Drives");
    umask(077);
    files.createDirectory(nested, 0700);
    files.createDirectory(nested, 0700); // existing is fine
    for (const char* name : {"Support", "Support/Ferrolatch", "Support/Ferrolatch/Drives"})
        EXPECT_EQ(files.attributes(path(name))->mode, 0700u) << name;
    files.createDirectory(path("open"), 0755);
    EXPECT_EQ(files.attributes(path("open"))->mode, 0755u); // not narrowed by the umask

    files.writeFileAtomically(nested + "/A.json", "a");
    files.writeFileAtomically(nested + "/.hidden", "h");
    EXPECT_EQ(sortedListing(nested), (std::vector<std::string> {".hidden", "A.json"}));
    expectErrno([&] { files.listDirectory(path("absent")); }, ENOENT, path("absent"));
    expectErrno([&] { files.createDirectory(nested + "/A.json/sub", 0700); }, ENOTDIR, "could not create directory");
    EXPECT_TRUE(files.isWritable(nested));
    EXPECT_FALSE(files.isWritable(path("absent")));
}

TEST_F(PosixFilesTest, DefaultModeDirectoriesFollowTheUmask)
{
    for (mode_t mask : {mode_t {077}, mode_t {022}, mode_t {027}}) {
        SCOPED_TRACE(mask);
        umask(mask);
        std::string top = path("default-" + std::to_string(mask));
        files.createDirectoryWithDefaultMode(top + "/inner");
        EXPECT_EQ(files.attributes(top)->mode, 0777u & ~mask);
        EXPECT_EQ(files.attributes(top + "/inner")->mode, 0777u & ~mask);
    }
    // An existing directory keeps its mode.
    files.createDirectory(path("kept"), 0700);
    files.createDirectoryWithDefaultMode(path("kept"));
    EXPECT_EQ(files.attributes(path("kept"))->mode, 0700u);
}

TEST_F(PosixFilesTest, ABoundedReadStopsOneBytePastTheLimit)
{
    files.writeFileAtomically(path("small"), "abc");
    EXPECT_EQ(files.readFileAtMost(path("small"), 3), "abc");
    EXPECT_EQ(files.readFileAtMost(path("small"), 2), "abc");
    EXPECT_EQ(files.readFileAtMost(path("small"), 1), "ab");
    // A sparse file far larger than memory: only limit + 1 bytes are read.
    int fd = ::open(path("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t {1} << 40), 0);
    ::close(fd);
    EXPECT_EQ(files.readFileAtMost(path("sparse"), 65536).size(), 65537u);
}

TEST_F(PosixFilesTest, ResolvedPathFollowsLinks)
{
    files.createDirectory(path("real/inner"), 0755);
    std::filesystem::create_directory_symlink(path("real"), path("link"));
    std::string real = std::filesystem::canonical(path("real")).string();
    EXPECT_EQ(files.resolvedPath(path("link/inner")), real + "/inner");
    EXPECT_EQ(files.resolvedPath(path("link/absent")), std::nullopt);
}

TEST_F(PosixFilesTest, OwnerProtectsAReadOnlyFileAsOnAMac)
{
    // hidden, then 0444, then immutable: the order that protects a drive's
    // files. Root ignores permissions, so the owner's case runs as nobody.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const std::string target = path("marker");
    files.writeFileAtomically(target, "marker");
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 0;
        try {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            PosixFiles asOwner;
            asOwner.setFlags(target, hidden);
            asOwner.setMode(target, 0444);
            asOwner.setFlags(target, immutable);
            asOwner.clearFlags(target, immutable);
        } catch (...) {
            status = 1;
        }
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto attributes = files.attributes(target);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->mode, 0444u); // the lent write access is taken back
    EXPECT_EQ(attributes->flags, hidden);
}
