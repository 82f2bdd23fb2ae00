#include "platform/posix/posix_files.h"

#include "common/errors.h"
#include "platform/posix/linux_file_flags.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <sys/xattr.h>
#include <unistd.h>

using namespace ferrolatch;

namespace {

constexpr std::uint32_t immutable = static_cast<std::uint32_t>(FileFlag::UserImmutable);

class ImmutableDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "immutable-directory-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            removexattr(entry.path().c_str(), emulated::fileFlagsAttribute);
        std::filesystem::remove_all(root);
    }

    std::string root;
    PosixFiles files;
};

}

TEST_F(ImmutableDirectoryTest, RefusesNewReplacedAndRemovedEntriesUntilCleared)
{
    const std::string locked = root + "/Documents";
    files.createDirectory(locked, 0755);
    files.writeFileAtomically(locked + "/existing.json", "kept");
    files.createDirectory(locked + "/inner", 0755);
    files.setFlags(locked, immutable);

    struct Case {
        const char* name;
        std::function<void()> action;
        std::string message;
    };
    const Case cases[] = {
        {"new file", [&] { files.writeFileAtomically(locked + "/new.json", "x"); },
            "could not write " + locked + "/new.json"},
        {"new file kept apart from existing ones", [&] { files.writeNewFileAtomically(locked + "/new.json", "x"); },
            "could not write " + locked + "/new.json"},
        {"replaced file", [&] { files.writeFileAtomically(locked + "/existing.json", "replaced"); },
            "could not write " + locked + "/existing.json"},
        {"removed file", [&] { files.removeFile(locked + "/existing.json"); },
            "could not remove " + locked + "/existing.json"},
        {"new directory", [&] { files.createDirectory(locked + "/sub/deeper", 0755); },
            "could not create directory " + locked + "/sub/deeper"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.action();
            ADD_FAILURE() << "the immutable directory changed";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.code(), EPERM);
            EXPECT_EQ(std::string(error.what()), c.message + ": Operation not permitted");
        }
    }
    EXPECT_FALSE(files.exists(locked + "/new.json"));
    EXPECT_FALSE(files.exists(locked + "/sub"));
    EXPECT_EQ(files.readFile(locked + "/existing.json"), "kept");
    EXPECT_EQ(files.listDirectory(locked).size(), 2u);

    // The flag is on the directory only: its subdirectory and the existing
    // directory on the way to a new one stay open to changes.
    files.writeFileAtomically(locked + "/inner/note.txt", "inner");
    files.createDirectory(locked + "/inner/more", 0755);
    EXPECT_TRUE(files.exists(locked + "/inner/more"));

    files.clearFlags(locked, immutable);
    files.writeFileAtomically(locked + "/new.json", "x");
    files.removeFile(locked + "/existing.json");
    EXPECT_EQ(files.readFile(locked + "/new.json"), "x");
}
