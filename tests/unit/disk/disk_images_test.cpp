#include "common/constants.h"
#include "disk/disk_images.h"
#include "tests/support/fakes.h"
#include "tests/support/expectations.h"

#include <gtest/gtest.h>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const SecretBytes& imagePassword()
{
    static const SecretBytes password = SecretBytes::copyOf(std::string_view("image secret"));
    return password;
}

std::vector<std::string> bundleArguments(const std::string& size, const std::string& name, const std::string& path)
{
    return {"create", "-type", "SPARSEBUNDLE", "-size", size, "-fs", "APFS", "-volname", name,
            "-encryption", "AES-256", "-stdinpass", path};
}

}

TEST(ProofImage, CreatesTheSixteenMebibyteEncryptedImage)
{
    FakeToolRunner tools;
    std::vector<std::string> arguments {"create", "-size", "16m", "-fs", "APFS", "-volname", "FERROLATCH-PROOF",
                                        "-encryption", "AES-256", "-stdinpass", "/Users/a/proof image.dmg"};
    tools.answer(arguments, "created: /Users/a/proof image.dmg\n");
    createProofImage(tools, "/Users/a/proof image.dmg", imagePassword());
    ASSERT_EQ(tools.calls.size(), 1u);
    EXPECT_EQ(tools.calls[0].executable, "/usr/bin/hdiutil");
    EXPECT_EQ(tools.calls[0].standardInput, "image secret\n");
}

TEST(Sparsebundle, ChecksSizeThenNameThenPathThenExistence)
{
    const std::string sizeMessage = "sparsebundle size must look like 64m, 20g, or 1t";
    const std::string nameMessage = "data volume name must be 1\u201364 safe characters and must not be FERROLATCH";
    const std::string pathMessage = "encrypted container path must end in .sparsebundle";
    struct Case {
        const char* size;
        const char* name;
        const char* path;
        std::string error; // empty: created
    };
    const Case cases[] = {
        {"64m", "VAULT", "/b/vault.sparsebundle", ""},
        {"20G", "VAULT", "/b/vault.sparsebundle", ""},
        {"1t", "VAULT", "/b/vault.sparsebundle", ""},
        {"999T", "VAULT", "/b/vault.SPARSEBUNDLE", ""},
        {"0m", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"064m", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"64", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"64mb", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"1.5g", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"-5m", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"64k", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"m", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"64m\n", "VAULT", "/b/vault.sparsebundle", sizeMessage},
        {"0m", "FERROLATCH", "/b/vault.dmg", sizeMessage}, // size is looked at first
        {"64m", "FERROLATCH", "/b/vault.dmg", nameMessage},
        {"64m", "a/b", "/b/vault.sparsebundle", nameMessage},
        {"64m", "VAULT", "/b/vault.dmg", pathMessage},
        {"64m", "VAULT", "/b/vault", pathMessage},
        {"64m", "VAULT", "/b/.sparsebundle", pathMessage},
        {"64m", "VAULT", "/b/vault.sparsebundle.dmg", pathMessage},
        {"64m", "VAULT", "/b/existing.sparsebundle", "refusing to replace existing sparsebundle at /b/existing.sparsebundle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.size) + " " + c.name + " " + c.path);
        MemoryFiles files;
        files.putDirectory("/b/existing.sparsebundle");
        FakeToolRunner tools;
        tools.answer(bundleArguments(c.size, c.name, c.path), "created: " + std::string(c.path) + "\n");
        if (c.error.empty()) {
            createEncryptedSparsebundle(files, tools, c.path, c.size, c.name, imagePassword());
            ASSERT_EQ(tools.calls.size(), 1u);
            EXPECT_EQ(tools.calls[0].standardInput, "image secret\n");
            EXPECT_EQ(files.operations, (std::vector<std::string> {"mkdir /b"}));
        } else {
            EXPECT_PROOF_ERROR(createEncryptedSparsebundle(files, tools, c.path, c.size, c.name, imagePassword()), c.error);
            EXPECT_TRUE(tools.calls.empty());
            EXPECT_TRUE(files.operations.empty());
        }
    }
}

TEST(Sparsebundle, CreatesMissingParentsAndPassesPlatformAndToolFailuresUp)
{
    MemoryFiles files;
    FakeToolRunner tools;
    tools.answer(bundleArguments("64m", "VAULT", "/deep/er/vault.sparsebundle"),
                 ToolOutcome {1, "", "hdiutil: create failed - No space left on device\n"});
    EXPECT_PROOF_ERROR(createEncryptedSparsebundle(files, tools, "/deep/er/vault.sparsebundle", "64m", "VAULT",
                                                   imagePassword()),
                       "hdiutil failed: hdiutil: create failed - No space left on device");
    EXPECT_TRUE(files.exists("/deep/er"));

    MemoryFiles readOnly;
    readOnly.makeReadOnly("/ro");
    FakeToolRunner untouched;
    EXPECT_THROW(createEncryptedSparsebundle(readOnly, untouched, "/ro/vault.sparsebundle", "64m", "VAULT",
                                             imagePassword()),
                 PlatformError);
    EXPECT_TRUE(untouched.calls.empty());
}

TEST(AttachmentReceipt, TheLastDeviceAndTheLastMountPointWin)
{
    EXPECT_EQ(parseAttachmentReceipt(fixture("hdiutil_attach.plist")),
              (ImageAttachment {"/dev/disk8s1", "/Volumes/FERROLATCH-PROOF"}));

    // The two need not come from the same entity.
    EXPECT_EQ(parseAttachmentReceipt("<plist><dict><key>system-entities</key><array>"
                                     "<dict><key>mount-point</key><string>/Volumes/A</string></dict>"
                                     "<dict><key>dev-entry</key><string>/dev/disk7</string></dict>"
                                     "<dict><key>dev-entry</key><integer>9</integer></dict>"
                                     "</array></dict></plist>"),
              (ImageAttachment {"/dev/disk7", "/Volumes/A"}));
}

TEST(AttachmentReceipt, RefusesIncompleteOrUnreadableReceipts)
{
    const std::string incomplete = "hdiutil did not report both a device and mount point";
    const std::string unreadable = "hdiutil returned an unreadable attachment receipt";
    const std::pair<const char*, std::string> cases[] = {
        {"<plist><dict><key>system-entities</key><array>"
         "<dict><key>dev-entry</key><string>/dev/disk7</string></dict>"
         "<dict><key>dev-entry</key><string>/dev/disk7s1</string></dict></array></dict></plist>",
         incomplete},
        {"<plist><dict><key>system-entities</key><array>"
         "<dict><key>mount-point</key><string>/Volumes/A</string></dict></array></dict></plist>",
         incomplete},
        {"<plist><dict><key>system-entities</key><array/></dict></plist>", incomplete},
        {"<plist><dict/></plist>", unreadable},
        {"<plist><array/></plist>", unreadable},
        {"<plist><dict><key>system-entities</key><dict/></dict></plist>", unreadable},
        {"<plist><dict><key>system-entities</key><array><string>/dev/disk7</string></array></dict></plist>",
         unreadable},
    };
    for (const auto& [bytes, error] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_PROOF_ERROR(parseAttachmentReceipt(bytes), error);
    }
}

TEST(ImageAttachment, AttachAndDetachRunHdiutilWithThePasswordOnlyOnStdin)
{
    FakeToolRunner tools;
    tools.answer({"attach", "-plist", "-nobrowse", "-stdinpass", "/b/vault.sparsebundle"}, fixture("hdiutil_attach.plist"));
    tools.answer({"detach", "/dev/disk8s1"}, "\"disk8\" ejected.\n");
    ImageAttachment attachment = attachEncryptedImage(tools, "/b/vault.sparsebundle", imagePassword());
    detachImage(tools, attachment.device);
    ASSERT_EQ(tools.calls.size(), 2u);
    EXPECT_EQ(tools.calls[0].standardInput, "image secret\n");
    EXPECT_FALSE(tools.calls[1].standardInput);

    FakeToolRunner refusing;
    refusing.answer({"attach", "-plist", "-nobrowse", "-stdinpass", "/b/vault.sparsebundle"},
                    ToolOutcome {1, "", "hdiutil: attach failed - Authentication error\n"});
    EXPECT_PROOF_ERROR(attachEncryptedImage(refusing, "/b/vault.sparsebundle", imagePassword()),
                       "hdiutil failed: hdiutil: attach failed - Authentication error");
}

TEST(SparsebundleManifest, AcceptsOnlyANativeBundleWithABareBundleName)
{
    auto manifestWith = [](std::optional<std::string> imageName, std::optional<std::string> volumeName) {
        Manifest manifest;
        manifest.version = 1;
        manifest.relyingPartyID = std::string(relyingPartyDomain);
        manifest.credentialID = "Y3JlZA";
        manifest.prfSalt = std::string(43, 'A');
        manifest.wrappedPassword = std::string(95, 'B');
        manifest.createdAt = "2026-01-31T09:15:00Z";
        manifest.resourceKind = "native-sparsebundle";
        manifest.imageName = std::move(imageName);
        manifest.volumeName = std::move(volumeName);
        return manifest;
    };
    const std::string refusal = "manifest does not identify a native Ferrolatch sparsebundle";
    struct Case {
        const char* name;
        Manifest manifest;
        bool accepted;
    };
    Manifest browser = manifestWith("vault.sparsebundle", "VAULT");
    browser.relyingPartyID = "localhost";
    Manifest image = manifestWith("vault.sparsebundle", "VAULT");
    image.resourceKind = "native-disk-image";
    const Case cases[] = {
        {"bundle", manifestWith("vault.sparsebundle", "VAULT"), true},
        {"upper-case extension", manifestWith("vault.SparseBundle", "VAULT"), true},
        {"directory part", manifestWith("dir/vault.sparsebundle", "VAULT"), false},
        {"other extension", manifestWith("vault.dmg", "VAULT"), false},
        {"empty image name", manifestWith("", "VAULT"), false},
        {"no image name", manifestWith(std::nullopt, "VAULT"), false},
        {"no volume name", manifestWith("vault.sparsebundle", std::nullopt), false},
        {"browser relying party", browser, false},
        {"image kind", image, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        files.put("/m/vault.json", encodeManifest(c.manifest));
        if (c.accepted)
            EXPECT_EQ(loadNativeSparsebundleManifest(files, "/m/vault.json"), c.manifest);
        else
            EXPECT_PROOF_ERROR(loadNativeSparsebundleManifest(files, "/m/vault.json"), refusal);
    }
    MemoryFiles empty;
    EXPECT_THROW(loadNativeSparsebundleManifest(empty, "/m/missing.json"), PlatformError);
}
