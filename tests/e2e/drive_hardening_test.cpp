// What a hostile or unusual machine does to the drive commands: manifests
// built to exhaust the reader, preference files in the form macOS writes,
// a strict umask, and an output that cannot be written.
#include "tests/e2e/drive_test_support.h"

#include <plist/plist.h>

#include <chrono>
#include <sys/stat.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

const std::string otherVolume = "11111111-2222-4333-8444-555555555555";

std::string binaryPropertyList(plist_t root)
{
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(root);
    return binary;
}

// Another volume's marker and two settings of the user's own, as macOS stores them.
std::string preferencesMacOSWrote()
{
    plist_t marker = plist_new_dict();
    plist_dict_set_item(marker, "DontUnlockVolume", plist_new_string("2999-01-01 00:00:00"));
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, otherVolume.c_str(), marker);
    plist_dict_set_item(root, "ShowUnlockHints", plist_new_bool(1));
    plist_dict_set_item(root, "PromptDelay", plist_new_uint(42));
    return binaryPropertyList(root);
}

std::string preferencesFile(const DriveBench& m)
{
    return m.home + "/Library/Preferences/com.apple.APFSUserAgent.plist";
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}

TEST_F(DriveMac, HostileManifestsAreRefusedQuicklyWithLittleMemory)
{
    std::string padded = "{\"pad\": \"" + std::string(65 * 1024, 'x') + "\"}";
    // Deep nesting within the size bound, and far deeper beyond it.
    std::string deep = std::string(30000, '[') + std::string(30000, ']');
    std::string deeper = std::string(100000, '[') + std::string(100000, ']');
    std::string sparse = work + "/sparse.json";
    std::ofstream(sparse).close();
    fs::resize_file(sparse, 10ull << 30); // 10 GiB of nothing on disk
    writeBytes(work + "/padded.json", padded);
    writeBytes(work + "/deep.json", deep);
    writeBytes(work + "/deeper.json", deeper);

    struct Case {
        std::string file;
        std::string error;
    };
    for (const Case& c : {Case {work + "/padded.json", "manifest is larger than 64 KiB"},
                          Case {sparse, "manifest is larger than 64 KiB"},
                          Case {work + "/deep.json", "manifest is nested more than 32 levels deep"},
                          Case {work + "/deeper.json", "manifest is larger than 64 KiB"}}) {
        SCOPED_TRACE(c.file);
        auto started = std::chrono::steady_clock::now();
        // Half a gigabyte of address space is plenty for a manifest of 1 KiB.
        // AddressSanitizer reserves terabytes of shadow at start, so under it
        // only the time bound holds.
        std::string addressSpaceCap = productsAreSanitized() ? "" : "ulimit -v 524288 && ";
        RunResult refused = run("/bin/sh", {"-c", addressSpaceCap + "exec \"$0\" lock-drive \"$1\"",
                                            ferrolatchExecutable(), c.file}, mac.environment());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "ferrolatch-proof: " + c.error + "\n");
    }
}

TEST_F(DriveMac, ABinaryPreferenceFileKeepsEveryOtherKeyThroughSetUp)
{
    writeBytes(preferencesFile(*this), preferencesMacOSWrote());
    addDisk();
    RunResult result = initDrive("disk4", work + "/m.json");
    ASSERT_EQ(result.status, 0) << result.err;

    std::string uuid = json::parse(readTextFile(work + "/m.json"))["volumeUUID"];
    std::string stored = readTextFile(preferencesFile(*this));
    plist_t root = nullptr;
    plist_from_xml(stored.data(), static_cast<std::uint32_t>(stored.size()), &root);
    ASSERT_NE(root, nullptr) << stored;
    auto markerOf = [&](const std::string& volume) -> std::string {
        plist_t marker = plist_dict_get_item(root, volume.c_str());
        plist_t until = marker ? plist_dict_get_item(marker, "DontUnlockVolume") : nullptr;
        char* text = nullptr;
        if (until)
            plist_get_string_val(until, &text);
        std::string value = text ? text : "";
        std::free(text);
        return value;
    };
    EXPECT_EQ(markerOf(otherVolume), "2999-01-01 00:00:00");
    EXPECT_EQ(markerOf(uuid), "2999-01-01 00:00:00");
    std::uint8_t hints = 0;
    std::uint64_t delay = 0;
    ASSERT_NE(plist_dict_get_item(root, "ShowUnlockHints"), nullptr);
    ASSERT_NE(plist_dict_get_item(root, "PromptDelay"), nullptr);
    plist_get_bool_val(plist_dict_get_item(root, "ShowUnlockHints"), &hints);
    plist_get_uint_val(plist_dict_get_item(root, "PromptDelay"), &delay);
    EXPECT_EQ(hints, 1);
    EXPECT_EQ(delay, 42u);
    EXPECT_EQ(plist_dict_get_size(root), 4u);
    plist_free(root);
}

TEST_F(DriveMac, APreferenceFileThatCannotBeReadIsLeftAsItIsAndTheSetUpSaysSo)
{
    // Nested deeper than any reader here will go.
    std::string deep = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict><key>Deep</key>";
    for (int level = 0; level < 100; ++level)
        deep += "<array>";
    for (int level = 0; level < 100; ++level)
        deep += "</array>";
    deep += "<key>" + otherVolume + "</key><dict><key>DontUnlockVolume</key><string>2999-01-01 00:00:00</string>"
            "</dict></dict>\n</plist>\n";
    writeBytes(preferencesFile(*this), deep);
    addDisk();
    RunResult result = initDrive("disk4", work + "/m.json");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ferrolatch-proof: macOS did not persist Ferrolatch's per-user APFS prompt suppression\n");
    EXPECT_EQ(readTextFile(preferencesFile(*this)), deep);
}

TEST_F(DriveMac, NewParentDirectoriesFollowTheUmask)
{
    addDisk();
    mode_t previous = ::umask(077);
    RunResult strict = initDrive("disk4", work + "/private/deeper/m.json");
    ::umask(previous);
    ASSERT_EQ(strict.status, 0) << strict.err;
    EXPECT_EQ(modeOf(work + "/private"), 0700);
    EXPECT_EQ(modeOf(work + "/private/deeper"), 0700);

    previous = ::umask(022);
    RunResult usual = initDrive("disk4", work + "/shared/m.json", "SECOND");
    ::umask(previous);
    ASSERT_EQ(usual.status, 0) << usual.err;
    EXPECT_EQ(modeOf(work + "/shared"), 0755);
    // The registry stays private whatever the umask.
    EXPECT_EQ(modeOf(home + "/Library/Application Support/Ferrolatch/Drives"), 0700);
}

TEST_F(DriveMac, AResultThatCannotBeWrittenIsAFailure)
{
    addDisk();
    struct Case {
        std::string redirection;
        std::string error;
    };
    for (const Case& c : {Case {"> /dev/full", "could not write to standard output: No space left on device"},
                          Case {">&-", "could not write to standard output: Bad file descriptor"}}) {
        SCOPED_TRACE(c.redirection);
        RunResult result = run("/bin/sh", {"-c", "exec \"$0\" inspect-drive disk4 " + c.redirection,
                                           ferrolatchExecutable()}, mac.environment());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "ferrolatch-proof: " + c.error + "\n");
    }
}
