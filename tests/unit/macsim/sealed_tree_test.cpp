#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/sealed_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace macsim;

namespace {

class SealedTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "macsim-seal-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        source = root + "/source";
        ::mkdir(source.c_str(), 0755);
        ::mkdir((source + "/dir").c_str(), 0755);
        std::ofstream(source + "/dir/file.txt") << "plain words";
        sealed = root + "/sealed";
    }
    void TearDown() override { removeTree(root); }

    std::string root;
    std::string source;
    std::string sealed;
    SecretBytes key = newVolumeKey();
};

}

TEST_F(SealedTree, OpensOnlyWithTheSameKeyAndContext)
{
    sealTree(source, key, "volume A", sealed);
    EXPECT_EQ(readFile(sealed).find("plain words"), std::string::npos);

    EXPECT_THROW(openTree(sealed, newVolumeKey(), "volume A", root + "/other-key"), ToolError);
    EXPECT_FALSE(pathExists(root + "/other-key"));
    EXPECT_THROW(openTree(sealed, key, "volume B", root + "/other-context"), ToolError);
    EXPECT_FALSE(pathExists(root + "/other-context"));

    openTree(sealed, key, "volume A", root + "/opened");
    EXPECT_EQ(readFile(root + "/opened/dir/file.txt"), "plain words");
}

TEST_F(SealedTree, AnyAlteredByteIsRefusedAndNothingIsLeftBehind)
{
    sealTree(source, key, "v", sealed);
    std::string original = readFile(sealed);
    // The header, the first and last bytes of the body, and the tag.
    for (std::size_t offset : {std::size_t {3}, std::size_t {21}, original.size() / 2, original.size() - 17,
             original.size() - 1}) {
        SCOPED_TRACE(offset);
        std::string altered = original;
        altered[offset] = static_cast<char>(altered[offset] ^ 0x01);
        writeFileAtomically(sealed, altered);
        EXPECT_THROW(openTree(sealed, key, "v", root + "/out"), ToolError);
        EXPECT_FALSE(pathExists(root + "/out"));
    }
    writeFileAtomically(sealed, original.substr(0, original.size() - 1));
    EXPECT_THROW(openTree(sealed, key, "v", root + "/out"), ToolError);
    EXPECT_FALSE(pathExists(root + "/out"));
}

TEST_F(SealedTree, KeybagOpensOnlyWithItsPassword)
{
    SecretBytes password = SecretBytes::copyOf(std::string_view("hunter2"));
    Keybag keybag = wrapKey(key, password, "uuid-1");
    auto opened = unwrapKey(keybag, password, "uuid-1");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->equals(key.bytes()));
    EXPECT_FALSE(unwrapKey(keybag, SecretBytes::copyOf(std::string_view("hunter3")), "uuid-1"));
    EXPECT_FALSE(unwrapKey(keybag, password, "uuid-2"));
    EXPECT_FALSE(unwrapKey(keybag, SecretBytes(), "uuid-1"));
    // Nothing in the keybag equals the password or the key.
    for (const std::string* field : {&keybag.salt, &keybag.nonce, &keybag.wrapped}) {
        EXPECT_EQ(field->find(hexEncode(password.bytes())), std::string::npos);
        EXPECT_EQ(field->find(hexEncode(key.bytes())), std::string::npos);
    }
}

TEST_F(SealedTree, KeepsEntriesThatDenyTheirOwnerReading)
{
    auto modeOf = [](const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    };
    std::ofstream(source + "/dir/closed") << "closed words";
    ::chmod((source + "/dir/closed").c_str(), 0);
    ::chmod((source + "/dir").c_str(), 0300);
    sealTree(source, key, "v", sealed);
    EXPECT_EQ(modeOf(source + "/dir"), 0300u);
    EXPECT_EQ(modeOf(source + "/dir/closed"), 0u);

    openTree(sealed, key, "v", root + "/opened");
    EXPECT_EQ(modeOf(root + "/opened/dir"), 0300u);
    EXPECT_EQ(modeOf(root + "/opened/dir/closed"), 0u);
    ::chmod((root + "/opened/dir").c_str(), 0700);
    ::chmod((root + "/opened/dir/closed").c_str(), 0600);
    EXPECT_EQ(readFile(root + "/opened/dir/closed"), "closed words");
    EXPECT_EQ(readFile(root + "/opened/dir/file.txt"), "plain words");
}
