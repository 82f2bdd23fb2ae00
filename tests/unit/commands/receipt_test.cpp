#include "commands/receipt.h"

#include "common/errors.h"
#include "common/hex.h"
#include "common/sha256.h"
#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <variant>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

std::string digestOf(std::string_view contents)
{
    SHA256Digest digest = sha256(contents);
    return hexString(digest);
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A receipt root on the real file system, with what a backup may hold beside
// its files: folders, links to files and links to folders inside and outside.
struct ReceiptTree : ::testing::Test {
    std::string base;
    std::string root;
    PosixFiles files;

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "receipt-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base = pattern;
        root = base + "/root";
        write("root/hello.txt", "hello\n");
        write("root/x", "one");
        write("root/a/b.txt", "bee\n");
        fs::create_directories(root + "/dir");
        fs::create_directories(root + "/real");
        write("outside/secret.txt", "not in the backup\n");
        fs::create_symlink("hello.txt", root + "/link.txt");
        fs::create_directory_symlink("../outside", root + "/linked");
        fs::create_directory_symlink("../a", root + "/real/inner");
    }
    void TearDown() override { fs::remove_all(base); }

    void write(const std::string& relative, const std::string& contents)
    {
        fs::create_directories(fs::path(base + "/" + relative).parent_path());
        std::ofstream(base + "/" + relative, std::ios::binary) << contents;
    }

    ReceiptTotals verify(const std::string& receipt)
    {
        write("receipt.sha256", receipt);
        return verifyReceipt(files, base + "/receipt.sha256", root);
    }
};

std::string line(const std::string& digest, const std::string& path) { return digest + " *./" + path + "\n"; }

const std::string hello = digestOf("hello\n");

struct ReceiptCase {
    std::string name;
    std::string receipt;
    // The totals, or the exact message of the ProofError.
    std::variant<ReceiptTotals, std::string> outcome;
};

const ReceiptCase receiptCases[] = {
    {"lower-case digest", line(hello, "hello.txt"), ReceiptTotals {1, 6}},
    {"upper-case digest", line(upper(hello), "hello.txt"), ReceiptTotals {1, 6}},
    {"two spaces instead of a star", hello + "  ./hello.txt\n", std::string("malformed SHA-256 receipt line 1")},
    {"68 characters, no path", hello + " *./\n", std::string("malformed SHA-256 receipt line 1")},
    {"69 characters, one-character path", line(digestOf("one"), "x"), ReceiptTotals {1, 3}},
    {"not hexadecimal", "g" + hello.substr(1) + " *./hello.txt\n", std::string("malformed SHA-256 receipt line 1")},
    {"a combining mark on the last digit", hello + "\xCC\x81 *./hello.txt\n",
     std::string("malformed SHA-256 receipt line 1")},
    {"parent of the root", line(hello, "../outside/secret.txt"),
     std::string("SHA-256 receipt escapes its root on line 1")},
    {"climbs out through a folder", line(hello, "a/../../x"), std::string("SHA-256 receipt escapes its root on line 1")},
    {"names the root itself", line(hello, "a/.."), std::string("SHA-256 receipt escapes its root on line 1")},
    {"stays inside", line(hello, "a/../hello.txt"), ReceiptTotals {1, 6}},
    {"a directory", line(hello, "dir"), std::string("receipt entry is not a regular file: dir")},
    {"a link to a file", line(hello, "link.txt"), std::string("receipt entry is not a regular file: link.txt")},
    {"a NUL in the path", hello + " *./hello" + std::string(1, '\0') + ".txt\n",
     std::string("unsafe SHA-256 receipt path on line 1")},
    {"empty lines only", "\n\n\n", std::string("SHA-256 receipt is empty")},
    {"nothing at all", "", std::string("SHA-256 receipt is empty")},
    {"blank lines do not count", "\n" + line(hello, "hello.txt") + "\n\n" + hello + "  ./x\n",
     std::string("malformed SHA-256 receipt line 2")},
    {"two entries", line(hello, "hello.txt") + line(digestOf("bee\n"), "a/b.txt") + line(digestOf("one"), "x"),
     ReceiptTotals {3, 13}},
    {"no final line feed", hello + " *./hello.txt", ReceiptTotals {1, 6}},
    {"mismatch", line(digestOf("hullo\n"), "hello.txt"), std::string("SHA-256 mismatch for hello.txt")},
    {"the first failure wins", line(digestOf("hullo\n"), "hello.txt") + "short\n",
     std::string("SHA-256 mismatch for hello.txt")},
    // The link's own entry was already refused; through a folder link the
    // file outside the root was read as if it were in the backup.
    {"through a link to a folder outside", line(digestOf("not in the backup\n"), "linked/secret.txt"),
     std::string("receipt entry is not a regular file: linked/secret.txt")},
    {"through a link to a folder inside", line(digestOf("bee\n"), "real/inner/b.txt"),
     std::string("receipt entry is not a regular file: real/inner/b.txt")},
    {"through a file", line(hello, "hello.txt/x"), std::string("receipt entry is not a regular file: hello.txt/x")},
};

}

TEST_F(ReceiptTree, VerifiesOrRefusesEachReceipt)
{
    for (const ReceiptCase& c : receiptCases) {
        SCOPED_TRACE(c.name);
        if (const ReceiptTotals* totals = std::get_if<ReceiptTotals>(&c.outcome)) {
            EXPECT_EQ(verify(c.receipt), *totals);
            continue;
        }
        try {
            verify(c.receipt);
            ADD_FAILURE() << "accepted";
        } catch (const ProofError& error) {
            EXPECT_EQ(std::string(error.what()), std::get<std::string>(c.outcome));
        }
    }
}

TEST_F(ReceiptTree, CarriageReturnsStayInTheLineAndFailWithTheFileSystemsError)
{
    // Read as one line whose path runs on past the pair: no such file.
    EXPECT_THROW(verify(hello + " *./hello.txt\r\n" + hello + " *./hello.txt\r\n"), PlatformError);
    EXPECT_THROW(verify(hello + " *./hello.txt\r\n"), PlatformError);
    EXPECT_EQ(receiptLines("a\r\nb\nc\n\n"), (std::vector<std::string> {"a\r\nb", "c"}));
}

TEST_F(ReceiptTree, MissingEntriesAndRootsAndUndecodableReceipts)
{
    EXPECT_THROW(verify(line(hello, "gone.txt")), PlatformError);
    EXPECT_THROW(verify(line(hello, "gone/hello.txt")), PlatformError);
    EXPECT_THROW(verify(line(hello, "hello.txt") + "\xFF\n"), PlatformError);

    write("receipt.sha256", line(hello, "hello.txt"));
    for (const std::string& notADirectory : {root + "/missing", root + "/hello.txt"}) {
        try {
            verifyReceipt(files, base + "/receipt.sha256", notADirectory);
            ADD_FAILURE() << notADirectory;
        } catch (const ProofError& error) {
            EXPECT_EQ(std::string(error.what()), "receipt root is not a directory: " + notADirectory);
        }
    }
    // The root's path is normalised by its text; a link to a folder is a folder.
    EXPECT_EQ(verifyReceipt(files, base + "/receipt.sha256", root + "/dir/../."), (ReceiptTotals {1, 6}));
    fs::create_directory_symlink("root", base + "/root-link");
    EXPECT_EQ(verifyReceipt(files, base + "/receipt.sha256", base + "/root-link"), (ReceiptTotals {1, 6}));
}

TEST_F(ReceiptTree, HashesLargeFilesAcrossManyReads)
{
    // Three and a half reads' worth, with every byte value.
    std::string contents(FileHasher::readSize * 3 + FileHasher::readSize / 2, '\0');
    for (std::size_t index = 0; index < contents.size(); ++index)
        contents[index] = static_cast<char>(index * 7 + index / 251);
    write("root/large.bin", contents);
    EXPECT_EQ(sha256OfFile(files, root + "/large.bin"), digestOf(contents));
    write("root/empty", "");
    EXPECT_EQ(sha256OfFile(files, root + "/empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_THROW(sha256OfFile(files, root + "/dir"), PlatformError);
}
