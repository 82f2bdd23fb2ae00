#include "tests/e2e/macsim_test_support.h"

#include <filesystem>

using namespace macsim;
using namespace macsim::testing;

namespace {

const std::string imagePassword = "image password";

RunResult createProofImage(const VirtualMac& mac, const std::string& path)
{
    std::string input = imagePassword + "\n";
    return mac.tool(hdiutil,
        {"create", "-size", "16m", "-fs", "APFS", "-volname", "FERROLATCH-PROOF", "-encryption", "AES-256", "-stdinpass",
            path},
        &input);
}

RunResult createBundle(const VirtualMac& mac, const std::string& path, const std::string& name)
{
    std::string input = imagePassword + "\n";
    return mac.tool(hdiutil,
        {"create", "-type", "SPARSEBUNDLE", "-size", "64m", "-fs", "APFS", "-volname", name, "-encryption", "AES-256",
            "-stdinpass", path},
        &input);
}

RunResult attach(const VirtualMac& mac, const std::string& path, const std::string& password = imagePassword)
{
    std::string input = password + "\n";
    return mac.tool(hdiutil, {"attach", "-plist", "-nobrowse", "-stdinpass", path}, &input);
}

struct Attachment {
    std::string device;
    std::string mountPoint;
};

// Reads the receipt the way the program does: the last dev-entry and mount-point win.
Attachment receipt(const RunResult& result)
{
    Plist parsed = plistOf(result);
    Attachment attachment;
    const auto& entities = array(parsed, "system-entities");
    if (entities.empty())
        throw std::runtime_error("expected entities");
    for (std::size_t index = 0; index + 1 < entities.size(); ++index) {
        if (child(entities[index], "mount-point") || !asString(child(entities[index], "dev-entry")))
            throw std::runtime_error("only the volume's entity carries a mount point");
    }
    attachment.device = text(entities.back(), "dev-entry");
    attachment.mountPoint = text(entities.back(), "mount-point");
    return attachment;
}

}

TEST(MacsimImage, ProofImageKeepsItsContentsEncryptedAcrossAttachAndDetach)
{
    VirtualMac mac;
    std::string image = mac.sysroot() + "/Users/proof.dmg";
    RunResult created = createProofImage(mac, image);
    ASSERT_EQ(created.status, 0) << describe(created);
    EXPECT_EQ(created.out, "created: " + image + "\n");

    Attachment first = receipt(attach(mac, image));
    EXPECT_EQ(first.device, "/dev/disk5s1");
    EXPECT_EQ(first.mountPoint, mac.sysroot() + "/Volumes/FERROLATCH-PROOF");
    Plist volume = info(mac, first.device);
    EXPECT_EQ(text(volume, "MountPoint"), first.mountPoint);
    EXPECT_EQ(text(volume, "VolumeName"), "FERROLATCH-PROOF");
    EXPECT_EQ(text(info(mac, "disk4"), "VirtualOrPhysical"), "Virtual");
    EXPECT_EQ(volumeNamed(mac, "disk5s1")["browsable"], false);
    writeFile(first.mountPoint + "/.ferrolatch-proof", "Ferrolatch passkey unwrap proof\n", 0444);
    setEmulatedFlags(first.mountPoint + "/.ferrolatch-proof", "32770");
    auto before = snapshot(first.mountPoint);

    // Attached again, the image gives its attachment once more, as on a Mac.
    Attachment again = receipt(attach(mac, image));
    EXPECT_EQ(again.device, first.device);
    EXPECT_EQ(again.mountPoint, first.mountPoint);
    EXPECT_EQ(state(mac)["images"].size(), 1u);
    EXPECT_EQ(snapshot(first.mountPoint), before);
    // A copy holds the same volume, which is attached already.
    std::string copy = mac.sysroot() + "/Users/copy.dmg";
    std::filesystem::copy_file(image, copy);
    RunResult copyAttached = attach(mac, copy);
    EXPECT_EQ(copyAttached.status, 1);
    EXPECT_EQ(copyAttached.err, "hdiutil: attach failed - Resource temporarily unavailable\n");

    RunResult detached = mac.tool(hdiutil, {"detach", first.device});
    ASSERT_EQ(detached.status, 0) << describe(detached);
    EXPECT_EQ(detached.out, "\"disk4\" ejected.\n");
    EXPECT_FALSE(exists(first.mountPoint));
    EXPECT_EQ(mac.tool(diskutil, {"info", "-plist", "disk5s1"}).status, 1);
    EXPECT_EQ(ferrolatch::e2e::readTextFile(image).find("unwrap proof"), std::string::npos);

    RunResult wrong = attach(mac, image, "not the password");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "hdiutil: attach failed - Authentication error\n");
    EXPECT_EQ(state(mac)["images"].size(), 0u);

    Attachment second = receipt(attach(mac, image));
    EXPECT_EQ(second.device, first.device); // numbers are reused once freed
    EXPECT_EQ(snapshot(second.mountPoint), before);
    EXPECT_EQ(mac.tool(hdiutil, {"detach", second.device}).status, 0);
}

TEST(MacsimImage, SparseBundleIsABandedDirectory)
{
    VirtualMac mac;
    std::string bundle = mac.sysroot() + "/Users/Vault.sparsebundle";
    ASSERT_EQ(createBundle(mac, bundle, "Vault").status, 0);
    Plist bundleInfo = *parsePlist(ferrolatch::e2e::readTextFile(bundle + "/Info.plist"));
    EXPECT_EQ(text(bundleInfo, "diskimage-bundle-type"), "com.apple.diskimage.sparsebundle");
    EXPECT_EQ(integer(bundleInfo, "band-size"), 8388608u);
    EXPECT_EQ(integer(bundleInfo, "size"), 67108864u);
    EXPECT_TRUE(exists(bundle + "/Info.bckup"));
    EXPECT_TRUE(exists(bundle + "/bands/0"));

    Attachment attached = receipt(attach(mac, bundle));
    EXPECT_EQ(attached.mountPoint, mac.sysroot() + "/Volumes/Vault");
    std::string large(20 * 1024 * 1024, 'v');
    writeFile(attached.mountPoint + "/large.bin", large);
    ASSERT_EQ(mac.tool(hdiutil, {"detach", attached.device}).status, 0);
    EXPECT_TRUE(exists(bundle + "/bands/2")); // 20 MiB spans three 8 MiB bands
    EXPECT_FALSE(exists(bundle + "/bands/3"));

    Attachment reattached = receipt(attach(mac, bundle));
    EXPECT_EQ(ferrolatch::e2e::readTextFile(reattached.mountPoint + "/large.bin"), large);
    ASSERT_EQ(mac.tool(hdiutil, {"detach", reattached.device}).status, 0);
}

TEST(MacsimImage, CreateRefusesToReplaceAndAppendsTheFormatsExtension)
{
    VirtualMac mac;
    std::string image = mac.sysroot() + "/Users/proof.dmg";
    ASSERT_EQ(createProofImage(mac, image).status, 0);
    RunResult twice = createProofImage(mac, image);
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "hdiutil: create failed - File exists\n");

    ASSERT_EQ(createBundle(mac, mac.sysroot() + "/Users/Other", "Other").status, 0);
    EXPECT_TRUE(exists(mac.sysroot() + "/Users/Other.sparsebundle/token"));
    ASSERT_EQ(createBundle(mac, mac.sysroot() + "/Users/Upper.SPARSEBUNDLE", "Upper").status, 0);
    EXPECT_TRUE(exists(mac.sysroot() + "/Users/Upper.SPARSEBUNDLE/token"));

    RunResult nowhere = createProofImage(mac, mac.sysroot() + "/no/such/dir/proof.dmg");
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_EQ(nowhere.err, "hdiutil: create failed - No such file or directory\n");
    RunResult missing = attach(mac, mac.sysroot() + "/Users/missing.dmg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "hdiutil: attach failed - No such file or directory\n");
}

TEST(MacsimImage, DetachRefusesWhileTheVolumeIsInUse)
{
    VirtualMac mac;
    std::string image = mac.sysroot() + "/Users/proof.dmg";
    ASSERT_EQ(createProofImage(mac, image).status, 0);
    Attachment attached = receipt(attach(mac, image));
    writeFile(attached.mountPoint + "/held", "x");
    int held = ::open((attached.mountPoint + "/held").c_str(), O_RDONLY);
    RunResult busy = mac.tool(hdiutil, {"detach", attached.device});
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(busy.err, "hdiutil: couldn't unmount \"disk4\" - Resource busy\n");
    ::close(held);
    EXPECT_EQ(mac.tool(hdiutil, {"detach", "/dev/disk4"}).status, 0);
    RunResult gone = mac.tool(hdiutil, {"detach", "/dev/disk4"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "hdiutil: detach failed - No such file or directory\n");
}
