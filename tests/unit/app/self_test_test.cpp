#include "app/self_test.h"

#include "common/constants.h"
#include "common/errors.h"
#include "crypto/password_wrap.h"
#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

// A Mac in a folder: its APFS agent's file and a temporary directory.
class FolderPaths final : public Paths {
public:
    explicit FolderPaths(std::string root) : m_root(std::move(root)) {}
    std::string mainBundle() override { return m_root + "/Ferrolatch.app"; }
    std::optional<std::string> bundleResource(std::string_view, std::string_view) override { return std::nullopt; }
    std::string applicationSupportDirectory() override { return m_root + "/Library/Application Support"; }
    std::string systemFile(std::string_view path) override { return m_root + std::string(path); }
    std::string temporaryDirectory() override { return m_root + "/tmp"; }

private:
    std::string m_root;
};

struct SelfTest : ::testing::Test {
    std::string root;
    PosixFiles files;
    std::unique_ptr<FolderPaths> paths;
    std::ostringstream out;
    std::unique_ptr<SelfTestServices> services;

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "self-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        fs::create_directories(root + "/tmp");
        agentWith(std::string("agent\0DontUnlockVolume\0No prompt required\0", 42));
        paths = std::make_unique<FolderPaths>(root);
        services = std::make_unique<SelfTestServices>(selfTestServices(files, *paths, out));
    }
    void TearDown() override { fs::remove_all(root); }

    void agentWith(const std::string& bytes)
    {
        std::string agent = root + std::string(apfsUserAgentPath);
        fs::create_directories(fs::path(agent).parent_path());
        std::ofstream(agent, std::ios::binary) << bytes;
    }

    std::string failure()
    {
        try {
            runSelfTest(*services);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "passed";
    }
    bool temporaryDirectoryEmpty() { return fs::is_empty(root + "/tmp"); }
};

}

TEST_F(SelfTest, PassesTwiceWithOneLineAndLeavesNothingBehind)
{
    runSelfTest(*services);
    runSelfTest(*services);
    EXPECT_EQ(out.str(), "CRYPTOGRAPHIC SELF-TEST PASSED\nCRYPTOGRAPHIC SELF-TEST PASSED\n");
    EXPECT_TRUE(temporaryDirectoryEmpty());
}

TEST_F(SelfTest, EachMissingAgentStringOrFileFailsTheCapabilityCheck)
{
    const std::string message = "this macOS build lacks Ferrolatch's APFS prompt suppression capability";
    agentWith("agent DontUnlockVolume");
    EXPECT_EQ(failure(), message);
    agentWith("agent No prompt required");
    EXPECT_EQ(failure(), message);
    fs::remove(root + std::string(apfsUserAgentPath));
    EXPECT_EQ(failure(), message);
    EXPECT_EQ(out.str(), "");
}

TEST_F(SelfTest, CatchesAnOpenThatAcceptsWhatItMustRefuse)
{
    // Opens with whatever key: a wrap that never checked its tag.
    int opens = 0;
    services->openPassword = [&](std::span<const std::uint8_t> combined, const SecretBytes& key,
                                 std::span<const std::uint8_t> data) {
        ++opens;
        if (opens == 2)
            return SecretBytes::copyOf(std::string_view("anything"));
        return openPassword(combined, key, data);
    };
    EXPECT_EQ(failure(), "cryptographic self-test accepted the wrong PRF output");

    // Accepts the right PRF output for the wrong relying party.
    opens = 0;
    services->openPassword = [&](std::span<const std::uint8_t> combined, const SecretBytes& key,
                                 std::span<const std::uint8_t> data) {
        ++opens;
        if (opens == 4)
            return SecretBytes(4);
        return openPassword(combined, key, data);
    };
    EXPECT_EQ(failure(), "cryptographic self-test accepted the wrong relying party");

    // A refusal for another reason than the cipher's is passed on as it is.
    opens = 0;
    services->openPassword = [&](std::span<const std::uint8_t> combined, const SecretBytes& key,
                                 std::span<const std::uint8_t> data) -> SecretBytes {
        if (++opens == 2)
            throw PlatformError(posixErrorDomain, 5, "Input/output error");
        return openPassword(combined, key, data);
    };
    EXPECT_EQ(failure(), "Input/output error");
}

TEST_F(SelfTest, VolumeNameRefusalsMustNameTheRule)
{
    services->validateVolumeName = [](std::string_view) {};
    EXPECT_EQ(failure(), "volume-name validation accepted a path separator");
    services->validateVolumeName = [](std::string_view name) {
        if (name.find('/') != std::string_view::npos)
            throw ProofError("no slashes, please");
    };
    EXPECT_EQ(failure(), "no slashes, please");
    services->validateVolumeName = [](std::string_view) { throw ProofError("the data volume name is too long"); };
    EXPECT_EQ(failure(), "the data volume name is too long");
}

TEST_F(SelfTest, ARemovedTemporaryDirectoryFailsWithTheFileSystemsError)
{
    fs::remove_all(root + "/tmp");
    std::ofstream(root + "/tmp") << "a file where the folder should be";
    EXPECT_THROW(runSelfTest(*services), PlatformError);
    EXPECT_EQ(out.str(), "");
}
