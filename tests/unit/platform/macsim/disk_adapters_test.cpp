#include "common/errors.h"
#include "platform/macsim/macsim_workspace.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/posix_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/xattr.h>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ferrolatch-disk-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TemporaryDirectory() { fs::remove_all(path); }
    std::string path;
};

std::string read(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string bigEndian(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

class NullLog final : public Log {
public:
    void write(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

}

TEST(IcnsImage, TheShippedIconIsAWellFormedIcnsWithAllSizes)
{
    std::string icon = read(FERROLATCH_VOLUME_ICON);
    ASSERT_TRUE(isIcnsImage(icon));
    for (const char* type : {"icp4", "icp5", "icp6", "ic07", "ic08", "ic09", "ic10"})
        EXPECT_NE(icon.find(std::string(type) + std::string(1, '\0')), std::string::npos) << type;
}

TEST(IcnsImage, RefusesMalformedContainers)
{
    std::string element = "icp4" + bigEndian(12) + "\x89PNG";
    EXPECT_TRUE(isIcnsImage("icns" + bigEndian(8 + 12) + element));
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"wrong magic", "icnx" + bigEndian(20) + element},
        {"total length too long", "icns" + bigEndian(21) + element},
        {"total length too short", "icns" + bigEndian(19) + element + "x"},
        {"element overruns", "icns" + bigEndian(20) + "icp4" + bigEndian(13) + "\x89PNG"},
        {"zero-length element", "icns" + bigEndian(20) + "icp4" + bigEndian(0) + "\x89PNG"},
        {"truncated element header", "icns" + bigEndian(12) + "icp4"},
        {"a PNG, not an icns", "\x89PNG\r\n\x1a\n" + std::string(16, '\0')},
    };
    for (const auto& [name, bytes] : cases)
        EXPECT_FALSE(isIcnsImage(bytes)) << name;
}

TEST(MacsimWorkspace, SetsTheVolumeIconAndMarksTheVolume)
{
    TemporaryDirectory volume;
    MacsimWorkspace workspace;
    std::optional<WorkspaceImage> image = workspace.loadImage(FERROLATCH_VOLUME_ICON);
    ASSERT_TRUE(image);
    EXPECT_FALSE(workspace.loadImage(volume.path + "/missing.icns"));
    write(volume.path + "/not-an-icon.icns", "hello");
    EXPECT_FALSE(workspace.loadImage(volume.path + "/not-an-icon.icns"));

    ASSERT_TRUE(workspace.setIcon(*image, volume.path));
    EXPECT_EQ(read(volume.path + "/.VolumeIcon.icns"), read(FERROLATCH_VOLUME_ICON));
    unsigned char finderInfo[32] = {};
    ASSERT_EQ(getxattr(volume.path.c_str(), finderInfoAttribute, finderInfo, sizeof finderInfo), 32);
    unsigned flags = static_cast<unsigned>(finderInfo[8]) << 8 | finderInfo[9];
    EXPECT_EQ(flags & finderHasCustomIcon, finderHasCustomIcon);

    // Only folders take an icon here; a file or a missing path is a refusal, not a crash.
    EXPECT_FALSE(workspace.setIcon(*image, volume.path + "/not-an-icon.icns"));
    EXPECT_FALSE(workspace.setIcon(*image, volume.path + "/missing"));
}

TEST(MacsimWorkspace, KeepsOtherFinderFlags)
{
    TemporaryDirectory volume;
    unsigned char finderInfo[32] = {};
    finderInfo[8] = 0x40; // kIsInvisible
    ASSERT_EQ(setxattr(volume.path.c_str(), finderInfoAttribute, finderInfo, sizeof finderInfo, 0), 0);
    MacsimWorkspace workspace;
    ASSERT_TRUE(workspace.setIcon(WorkspaceImage {"icns"}, volume.path));
    ASSERT_EQ(getxattr(volume.path.c_str(), finderInfoAttribute, finderInfo, sizeof finderInfo), 32);
    EXPECT_EQ(finderInfo[8], 0x44);

    // Attributes that are not Finder info, too short or too long, are replaced.
    for (std::size_t size : {std::size_t {5}, std::size_t {40}}) {
        SCOPED_TRACE(size);
        TemporaryDirectory other;
        std::string junk(size, '\xFF');
        ASSERT_EQ(setxattr(other.path.c_str(), finderInfoAttribute, junk.data(), junk.size(), 0), 0);
        ASSERT_TRUE(workspace.setIcon(WorkspaceImage {"icns"}, other.path));
        unsigned char replaced[32] = {};
        ASSERT_EQ(getxattr(other.path.c_str(), finderInfoAttribute, replaced, sizeof replaced), 32);
        EXPECT_EQ(replaced[8] << 8 | replaced[9], static_cast<int>(finderHasCustomIcon));
    }
}

TEST(SysrootLog, AppendsOneLinePerEntryAndForwards)
{
    TemporaryDirectory sysroot;
    fs::create_directories(sysroot.path + "/private/var/log");
    NullLog host;
    SysrootLog log(sysroot.path, "ferrolatch-proof", host);
    log.write("Ferrolatch set the Finder icon for /Volumes/PRIVATE");
    log.write("two\nlines");
    EXPECT_EQ(host.lines, (std::vector<std::string> {"Ferrolatch set the Finder icon for /Volumes/PRIVATE", "two\nlines"}));

    std::istringstream file(read(SysrootLog::logFile(sysroot.path)));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    std::string prefix = " localhost ferrolatch-proof[" + std::to_string(getpid()) + "]: ";
    EXPECT_NE(lines[0].find(prefix + "Ferrolatch set the Finder icon for /Volumes/PRIVATE"), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 16), "/Volumes/PRIVATE");
    EXPECT_NE(lines[1].find(prefix + "two lines"), std::string::npos);

    // Without a log directory the entry is lost, never the caller's work.
    TemporaryDirectory bare;
    SysrootLog unwritable(bare.path + "/missing", "ferrolatch-proof", host);
    EXPECT_NO_THROW(unwritable.write("dropped"));
}

TEST(PosixPaths, FindsTheBundleAndItsResources)
{
    EXPECT_EQ(PosixPaths::bundleOfExecutable("/x/Ferrolatch.app/Contents/MacOS/ferrolatch-proof"), "/x/Ferrolatch.app");
    EXPECT_EQ(PosixPaths::bundleOfExecutable("/usr/local/bin/ferrolatch-proof"), "");
    EXPECT_EQ(PosixPaths::bundleOfExecutable("ferrolatch-proof"), "");

    TemporaryDirectory root;
    std::string bundle = root.path + "/Ferrolatch.app";
    fs::create_directories(bundle + "/Contents/Resources/Folder.icns");
    write(bundle + "/Contents/Resources/FerrolatchVolumeIconMetal.icns", "icns");
    PosixPaths paths(bundle, root.path, root.path + "/Users/a");
    EXPECT_EQ(paths.bundleResource("FerrolatchVolumeIconMetal", "icns"),
              bundle + "/Contents/Resources/FerrolatchVolumeIconMetal.icns");
    EXPECT_EQ(paths.bundleResource("Missing", "icns"), std::nullopt);
    EXPECT_EQ(paths.bundleResource("Folder", "icns"), std::nullopt); // a directory is no resource file
    EXPECT_EQ(paths.systemFile("/System/Library/CoreServices/APFSUserAgent"),
              root.path + "/System/Library/CoreServices/APFSUserAgent");
    EXPECT_EQ(paths.applicationSupportDirectory(), root.path + "/Users/a/Library/Application Support");
    EXPECT_TRUE(fs::is_directory(root.path + "/Users/a/Library/Application Support"));

    // A file where a directory must be is the platform's error, not a path that is no directory.
    fs::create_directories(root.path + "/Users/b");
    write(root.path + "/Users/b/Library", "not a directory");
    PosixPaths blocked(bundle, root.path, root.path + "/Users/b");
    EXPECT_THROW(blocked.applicationSupportDirectory(), PlatformError);
    EXPECT_THROW(PosixPaths(bundle, root.path, "").applicationSupportDirectory(), PlatformError);
}
