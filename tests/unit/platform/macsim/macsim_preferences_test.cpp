#include "platform/macsim/macsim_preferences.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

using namespace ferrolatch;
using namespace std::string_literals;

namespace {

const std::string domain = "com.apple.APFSUserAgent";
const std::string uuid = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";

PreferenceValue marker() { return PreferenceValue::Dictionary {{"DontUnlockVolume", "2999-01-01 00:00:00"}}; }

class PreferencesDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-preferences-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        directory = m_root + "/Users/casey/Library/Preferences";
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    std::string file() const { return directory + "/" + domain + ".plist"; }
    std::string contents() const
    {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    void write(const std::string& bytes) const
    {
        std::filesystem::create_directories(directory);
        std::ofstream(file(), std::ios::binary) << bytes;
    }

    std::string directory;

private:
    std::string m_root;
};

const char* storedByAnotherProgram = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B</key>
	<dict>
		<key>LastSeen</key>
		<date>2024-05-01T00:00:00Z</date>
		<key>Attempts</key>
		<integer>3</integer>
		<key>Blob</key>
		<data>AAEC</data>
		<key>Flags</key>
		<array><true/><real>1.5</real></array>
	</dict>
	<key>GlobalSetting</key>
	<false/>
</dict>
</plist>
)";

}

TEST_F(PreferencesDirectory, StagedValuesReachTheFileOnlyOnSynchronize)
{
    MacsimPreferences preferences(directory);
    EXPECT_EQ(preferences.copyValue(uuid, domain), std::nullopt);
    preferences.setValue(uuid, marker(), domain);
    EXPECT_EQ(preferences.copyValue(uuid, domain), marker());
    EXPECT_FALSE(std::filesystem::exists(file()));

    ASSERT_TRUE(preferences.synchronize(domain));
    EXPECT_EQ(std::filesystem::status(file()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // Another process sees what was written.
    MacsimPreferences other(directory);
    EXPECT_EQ(other.copyValue(uuid, domain), marker());
    EXPECT_NE(contents().find("<key>" + uuid + "</key>"), std::string::npos);
    EXPECT_NE(contents().find("<string>2999-01-01 00:00:00</string>"), std::string::npos);
    // Nothing but the domain file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);
}

TEST_F(PreferencesDirectory, SynchronizeKeepsKeysOtherProcessesStoredMeanwhile)
{
    MacsimPreferences first(directory);
    MacsimPreferences second(directory);
    first.setValue(uuid, marker(), domain);
    second.setValue("11111111-2222-4333-8444-555555555555", marker(), domain);
    ASSERT_TRUE(second.synchronize(domain));
    ASSERT_TRUE(first.synchronize(domain));

    MacsimPreferences reader(directory);
    EXPECT_EQ(reader.copyValue(uuid, domain), marker());
    EXPECT_EQ(reader.copyValue("11111111-2222-4333-8444-555555555555", domain), marker());
}

TEST_F(PreferencesDirectory, ValuesOfOtherKindsSurviveAReadModifyWrite)
{
    write(storedByAnotherProgram);
    MacsimPreferences preferences(directory);
    std::optional<PreferenceValue> current = preferences.copyValue(uuid, domain);
    ASSERT_TRUE(current && current->dictionary());
    PreferenceValue::Dictionary settings = *current->dictionary();
    ASSERT_EQ(settings.size(), 4u);
    EXPECT_TRUE(settings.at("LastSeen").other());
    settings.insert_or_assign("DontUnlockVolume", "2999-01-01 00:00:00");
    preferences.setValue(uuid, settings, domain);
    ASSERT_TRUE(preferences.synchronize(domain));

    std::optional<PreferenceValue::Dictionary> after = decodePreferenceDomain(contents());
    std::optional<PreferenceValue::Dictionary> before = decodePreferenceDomain(storedByAnotherProgram);
    ASSERT_TRUE(after && before);
    EXPECT_EQ(after->at("GlobalSetting"), before->at("GlobalSetting"));
    const PreferenceValue::Dictionary* original = before->at(uuid).dictionary();
    ASSERT_NE(original, nullptr);
    PreferenceValue::Dictionary expected = *original;
    expected.insert_or_assign("DontUnlockVolume", "2999-01-01 00:00:00");
    EXPECT_EQ(after->at(uuid), PreferenceValue(expected));
    EXPECT_NE(contents().find("<date>2024-05-01T00:00:00Z</date>"), std::string::npos);
    EXPECT_NE(contents().find("<integer>3</integer>"), std::string::npos);
}

std::string binaryOf(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    if (!root)
        return {};
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    return binary;
}

TEST_F(PreferencesDirectory, ABinaryDomainIsReadAndEveryOtherKeyKept)
{
    // The form macOS itself writes its preferences in.
    std::string binary = binaryOf(storedByAnotherProgram);
    ASSERT_EQ(binary.substr(0, 8), "bplist00");
    write(binary);
    MacsimPreferences reader(directory);
    std::optional<PreferenceValue> stored = reader.copyValue(uuid, domain);
    ASSERT_TRUE(stored && stored->dictionary());
    EXPECT_EQ(stored->dictionary()->size(), 4u);

    reader.setValue("11111111-2222-4333-8444-555555555555", marker(), domain);
    ASSERT_TRUE(reader.synchronize(domain));
    std::optional<PreferenceValue::Dictionary> after = decodePreferenceDomain(contents());
    std::optional<PreferenceValue::Dictionary> before = decodePreferenceDomain(storedByAnotherProgram);
    ASSERT_TRUE(after && before);
    EXPECT_EQ(after->size(), 3u);
    EXPECT_EQ(after->at(uuid), before->at(uuid));
    EXPECT_EQ(after->at("GlobalSetting"), before->at("GlobalSetting"));
    EXPECT_EQ(after->at("11111111-2222-4333-8444-555555555555"), marker());
    EXPECT_NE(contents().find("<date>2024-05-01T00:00:00Z</date>"), std::string::npos);
}

TEST_F(PreferencesDirectory, AByteOrderMarkBeforeTheXMLIsRead)
{
    write("\xEF\xBB\xBF" + std::string(storedByAnotherProgram));
    EXPECT_TRUE(MacsimPreferences(directory).copyValue(uuid, domain));
}

TEST_F(PreferencesDirectory, MarkupInKeysAndStringsIsEscaped)
{
    MacsimPreferences preferences(directory);
    PreferenceValue tricky = PreferenceValue::Dictionary {{"a<b>&\"c\"", "</string><key>injected</key>"}};
    preferences.setValue(uuid, tricky, domain);
    ASSERT_TRUE(preferences.synchronize(domain));
    std::optional<PreferenceValue::Dictionary> stored = decodePreferenceDomain(contents());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 1u);
    EXPECT_EQ(stored->at(uuid), tricky);
}

TEST_F(PreferencesDirectory, AFileThatCannotBeReadIsNeverReplaced)
{
    std::string deep = "<plist><dict><key>k</key>";
    for (int level = 0; level < 100; ++level)
        deep += "<array>";
    for (int level = 0; level < 100; ++level)
        deep += "</array>";
    deep += "</dict></plist>";
    std::string truncatedBinary = binaryOf(storedByAnotherProgram);
    truncatedBinary.resize(truncatedBinary.size() - 1);
    // Each may hold other volumes' markers and the user's settings.
    for (const std::string& unreadable : {std::string("not a property list"), std::string("<plist><array/></plist>"),
                                          deep, truncatedBinary}) {
        write(unreadable);
        MacsimPreferences preferences(directory);
        EXPECT_EQ(preferences.copyValue(uuid, domain), std::nullopt);
        preferences.setValue(uuid, marker(), domain);
        EXPECT_FALSE(preferences.synchronize(domain));
        EXPECT_EQ(contents(), unreadable);
        // Still staged, so a later synchronize can succeed.
        EXPECT_EQ(preferences.copyValue(uuid, domain), marker());
    }

    // An empty file holds nothing to lose.
    write("");
    MacsimPreferences fresh(directory);
    fresh.setValue(uuid, marker(), domain);
    EXPECT_TRUE(fresh.synchronize(domain));
    EXPECT_EQ(MacsimPreferences(directory).copyValue(uuid, domain), marker());

    std::filesystem::remove(file());
    std::filesystem::create_directory(file()); // cannot be read as a file
    MacsimPreferences blocked(directory);
    blocked.setValue(uuid, marker(), domain);
    EXPECT_FALSE(blocked.synchronize(domain));
    EXPECT_TRUE(std::filesystem::is_directory(file()));
}

TEST_F(PreferencesDirectory, MissingDirectoryIsCreatedAndAnImpossibleOneFails)
{
    MacsimPreferences preferences(directory);
    preferences.setValue(uuid, marker(), domain);
    ASSERT_TRUE(preferences.synchronize(domain));
    EXPECT_TRUE(std::filesystem::is_regular_file(file()));

    std::string notADirectory = file() + "/Preferences";
    MacsimPreferences impossible(notADirectory);
    impossible.setValue(uuid, marker(), domain);
    EXPECT_FALSE(impossible.synchronize(domain));
}

TEST_F(PreferencesDirectory, DomainsThatNameAnotherPlaceAreRefused)
{
    MacsimPreferences preferences(directory);
    for (const char* name : {"../escape", "a/b", "..", ".", ""}) {
        SCOPED_TRACE(name);
        preferences.setValue(uuid, marker(), name);
        EXPECT_FALSE(preferences.synchronize(name));
        EXPECT_EQ(preferences.copyValue(uuid, name), std::nullopt);
    }
    EXPECT_FALSE(std::filesystem::exists(directory));
}

TEST(PreferenceDomainCoding, HostileFilesDecodeToNothingInsteadOfCrashing)
{
    std::string deep = "<plist>";
    for (int level = 0; level < 200; ++level)
        deep += "<dict><key>k</key>";
    deep += "<string>x</string>";
    for (int level = 0; level < 200; ++level)
        deep += "</dict>";
    deep += "</plist>";
    EXPECT_EQ(decodePreferenceDomain(deep), std::nullopt);
    // Deep enough to overflow the parser's stack if it ever saw it.
    const int levels = 200000;
    std::string arrays = "<plist>";
    for (int level = 0; level < levels; ++level)
        arrays += "<array>";
    for (int level = 0; level < levels; ++level)
        arrays += "</array>";
    EXPECT_EQ(decodePreferenceDomain(arrays + "</plist>"), std::nullopt);
    // Nesting hidden in a comment is no nesting.
    EXPECT_NE(decodePreferenceDomain("<plist><!-- " + arrays + " --><dict/></plist>"), std::nullopt);
    EXPECT_EQ(decodePreferenceDomain(""), std::nullopt);
    // A raw NUL inside a string or key: no XML property list holds one.
    EXPECT_EQ(decodePreferenceDomain("<plist><dict><key>k</key><string>29\0\0 00</string></dict></plist>"s),
              std::nullopt);
    EXPECT_EQ(decodePreferenceDomain("<plist><dict><key>k\0k</key><string>x</string></dict></plist>"s),
              std::nullopt);
    EXPECT_EQ(decodePreferenceDomain("bplist00\0\0"s), std::nullopt);
}

namespace {

// A binary list by hand: header, objects, offset table and trailer, with
// one-byte offsets and references.
std::string bplist(const std::vector<std::string>& objects, std::uint8_t top = 0)
{
    std::string bytes = "bplist00";
    std::string table;
    for (const std::string& object : objects) {
        table += static_cast<char>(bytes.size());
        bytes += object;
    }
    std::size_t tableOffset = bytes.size();
    bytes += table;
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(objects.size());
    trailer[23] = static_cast<char>(top);
    trailer[31] = static_cast<char>(tableOffset);
    return bytes + trailer;
}

}

TEST(PreferenceDomainCoding, HostileBinaryListsDecodeToNothing)
{
    const std::string key = "\x51k";       // ASCII string "k"
    const std::string value = "\x51v";
    // {"k": "v"} reads; every broken variant does not.
    ASSERT_NE(decodePreferenceDomain(bplist({"\xD1\x01\x02", key, value})), std::nullopt);
    EXPECT_EQ(decodePreferenceDomain(bplist({"\xD1\x01\x02", key, value}))->at("k"), PreferenceValue("v"));
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"reference past the objects", bplist({"\xD1\x01\x09", key, value})},
        {"dictionary that contains itself", bplist({"\xD1\x01\x00", key, value})},
        {"key that is not a string", bplist({"\xD1\x02\x01", key, "\x10\x01"})},
        {"string longer than the file", bplist({"\xD1\x01\x02", key, "\x5F\x10\x7F"})},
        {"NUL inside a string", bplist({"\xD1\x01\x02", key, "\x52v\0"s})},
        {"lone UTF-16 surrogate", bplist({"\xD1\x01\x02", key, "\x61\xD8\x00"s})},
        {"set", bplist({"\xD1\x01\x02", key, "\xC0"})},
        {"null", bplist({"\xD1\x01\x02", key, "\x00"s})},
        {"top object out of range", bplist({"\xD1\x01\x02", key, value}, 7)},
        {"no trailer", "bplist00\xD0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodePreferenceDomain(c.bytes), std::nullopt);
    }

    // Arrays that each hold the next twice: 2^60 uses of a handful of objects.
    std::vector<std::string> doubling = {"\xD1\x01\x02", key};
    for (int level = 0; level < 60; ++level) {
        std::string array = "\xA2";
        array += static_cast<char>(doubling.size() + 1);
        array += static_cast<char>(doubling.size() + 1);
        doubling.push_back(array);
    }
    doubling.push_back("\xA0");
    EXPECT_EQ(decodePreferenceDomain(bplist(doubling)), std::nullopt);
}

// A removal is staged like a value: the key reads as gone at once, and the
// file loses it at the next synchronize, which keeps what another process
// stored meanwhile.
TEST_F(PreferencesDirectory, ARemovedKeyGoesWithTheNextSynchronize)
{
    const std::string other = "11111111-2222-4333-8444-555555555555";
    MacsimPreferences preferences(directory);
    preferences.setValue(uuid, marker(), domain);
    preferences.setValue(other, marker(), domain);
    ASSERT_TRUE(preferences.synchronize(domain));

    preferences.removeValue(uuid, domain);
    EXPECT_FALSE(preferences.copyValue(uuid, domain));
    MacsimPreferences elsewhere(directory);
    EXPECT_EQ(elsewhere.copyValue(uuid, domain), marker()); // not written yet
    elsewhere.setValue("Written-Meanwhile", "yes", domain);
    ASSERT_TRUE(elsewhere.synchronize(domain));

    ASSERT_TRUE(preferences.synchronize(domain));
    MacsimPreferences reader(directory);
    EXPECT_FALSE(reader.copyValue(uuid, domain));
    EXPECT_EQ(reader.copyValue(other, domain), marker());
    EXPECT_EQ(reader.copyValue("Written-Meanwhile", domain), PreferenceValue("yes"));

    // Set again after a removal, the value wins.
    preferences.removeValue(other, domain);
    preferences.setValue(other, "again", domain);
    ASSERT_TRUE(preferences.synchronize(domain));
    EXPECT_EQ(MacsimPreferences(directory).copyValue(other, domain), PreferenceValue("again"));
}
