#include "commands/drive_layout.h"

#include "common/constants.h"
#include "crypto/manifest.h"
#include "tests/support/fakes.h"
#include "tests/support/expectations.h"
#include "tests/support/drive_fakes.h"

#include <gtest/gtest.h>

using namespace ferrolatch;
using namespace ferrolatch::drive_testing;
using ferrolatch::testing::MemoryFiles;

namespace {

PlistValue container(std::string reference, std::vector<std::string> stores)
{
    PlistValue::Array storeArray;
    for (std::string& store : stores)
        storeArray.emplace_back(PlistValue::Dictionary {{"DeviceIdentifier", std::move(store)}});
    return PlistValue::Dictionary {{"ContainerReference", std::move(reference)}, {"PhysicalStores", storeArray}};
}

PlistValue listing(PlistValue::Array containers)
{
    return PlistValue::Dictionary {{"Containers", std::move(containers)}};
}

const std::string password = "0123456789abcdefghijABCDEFGHIJ-_0123456789a";
const std::string hint = "Ferrolatch passkey or recovery password";

std::vector<std::string> addVolume(const std::string& name)
{
    return {"apfs", "addVolume", "disk5", "APFS", name, "-stdinpassphrase", "-passphraseHint", hint};
}

const APFSVolume bootstrap {"disk5s1", "11111111-1111-1111-1111-111111111111", "FERROLATCH", false, false};

}

TEST(FindAPFSContainer, TakesTheOneContainerStoredOnTheDisk)
{
    struct Case {
        std::string name;
        PlistValue inventory;
        std::string result; // or the error
    };
    const std::string none = "could not identify exactly one APFS container on disk4";
    const std::string unreadable = "diskutil returned an unreadable APFS inventory";
    PlistValue noReference = PlistValue::Dictionary {{"PhysicalStores", PlistValue::Array {PlistValue::Dictionary {{"DeviceIdentifier", "disk4s2"}}}}};
    PlistValue storesNotDictionaries = PlistValue::Dictionary {{"ContainerReference", "disk9"}, {"PhysicalStores", PlistValue::Array {"disk4s2"}}};
    const std::vector<Case> cases = {
        {"one match among others", listing({container("disk1", {"disk0s2"}), container("disk5", {"disk4s2"})}), "disk5"},
        {"disk40 is not disk4", listing({container("disk41", {"disk40s2"}), container("disk5", {"disk4s2"})}), "disk5"},
        {"a later store matches", listing({container("disk5", {"disk3s1", "disk4s2"})}), "disk5"},
        {"only disk40", listing({container("disk41", {"disk40s2"})}), none},
        {"two on the disk", listing({container("disk5", {"disk4s2"}), container("disk6", {"disk4s3"})}), none},
        {"no stores", listing({container("disk5", {})}), none},
        {"no reference", listing({noReference}), none},
        {"stores not dictionaries", listing({storesNotDictionaries}), none},
        {"no containers", listing({}), none},
        {"top level not a dictionary", PlistValue(PlistValue::Array {}), unreadable},
        {"containers not dictionaries", listing({PlistValue("disk5")}), unreadable},
        {"containers missing", PlistValue(PlistValue::Dictionary {}), unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.result.find(' ') == std::string::npos) // a container reference, not a message
            EXPECT_EQ(selectAPFSContainer(c.inventory, "disk4"), c.result);
        else
            EXPECT_PROOF_ERROR(selectAPFSContainer(c.inventory, "disk4"), c.result);
    }
}

TEST(CreateEncryptedVolume, AddsTheVolumeWithThePasswordOnStdinOnly)
{
    ScriptedTools tools;
    APFSVolume lookalike {"disk5s2", "22222222-2222-2222-2222-222222222222", "private", true, true};
    APFSVolume created {"disk5s3", "33333333-3333-3333-3333-333333333333", "PRIVATE", true, false};
    tools.expect(listArguments, inventory("disk5", {bootstrap, lookalike}));
    tools.expect(addVolume("PRIVATE"));
    tools.expect(listArguments, inventory("disk5", {bootstrap, lookalike, created}));

    APFSVolume result = createEncryptedVolume(tools, "disk5", "PRIVATE", SecretBytes::copyOf(std::string_view(password)));
    EXPECT_EQ(result, created);
    ASSERT_EQ(tools.calls.size(), 3u);
    EXPECT_EQ(tools.calls[1].executable, "/usr/sbin/diskutil");
    EXPECT_EQ(tools.calls[1].standardInput, password + "\n");
    for (const auto& call : tools.calls)
        for (const std::string& word : call.arguments)
            EXPECT_EQ(word.find(password), std::string::npos);
    EXPECT_FALSE(tools.calls[0].standardInput);
}

TEST(CreateEncryptedVolume, RefusesOrRejectsWhatDiskutilLeft)
{
    APFSVolume old {"disk5s2", "22222222-2222-2222-2222-222222222222", "PRIVATE", true, false};
    APFSVolume fresh {"disk5s3", "33333333-3333-3333-3333-333333333333", "PRIVATE", true, false};
    APFSVolume freshLocked = fresh;
    freshLocked.locked = true;
    APFSVolume freshPlain = fresh;
    freshPlain.encrypted = false;
    APFSVolume otherName = fresh;
    otherName.name = "PRIVATE2";
    struct Case {
        std::string name;
        std::vector<APFSVolume> later;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"nothing new", {bootstrap}, "diskutil created no uniquely identifiable APFS volume"},
        {"new under another name", {bootstrap, otherName}, "diskutil created no uniquely identifiable APFS volume"},
        {"created locked", {bootstrap, freshLocked}, "new APFS volume did not enter the expected encrypted, unlocked state"},
        {"created unencrypted", {bootstrap, freshPlain}, "new APFS volume did not enter the expected encrypted, unlocked state"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTools tools;
        tools.expect(listArguments, inventory("disk5", {bootstrap}));
        tools.expect(addVolume("PRIVATE"));
        tools.expect(listArguments, inventory("disk5", c.later));
        EXPECT_PROOF_ERROR(createEncryptedVolume(tools, "disk5", "PRIVATE", SecretBytes::copyOf(std::string_view(password))),
                           c.error);
        EXPECT_TRUE(tools.finished());
    }

    // A volume of exactly that name already there: refused before diskutil adds anything.
    ScriptedTools tools;
    tools.expect(listArguments, inventory("disk5", {bootstrap, old}));
    EXPECT_PROOF_ERROR(createEncryptedVolume(tools, "disk5", "PRIVATE", SecretBytes::copyOf(std::string_view(password))),
                       "refusing to replace existing APFS volume named PRIVATE");
    EXPECT_EQ(tools.calls.size(), 1u);
}

TEST(BootstrapFiles, ReadmeNamesTheVolumeAndDomainWithoutAFinalLineFeed)
{
    std::string readme = bootstrapReadme("PRIVATE", "example.org");
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = readme.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(readme.substr(start, end - start));
    lines.push_back(readme.substr(start));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[0], "Ferrolatch encrypted drive");
    EXPECT_EQ(lines[2], "Encrypted volume: PRIVATE");
    EXPECT_EQ(lines[3], "Credential domain: example.org");
    EXPECT_EQ(lines[12], "PRIVATE, choose Mount or Unlock, and enter that password.");
    for (std::size_t blank : {1u, 4u, 8u})
        EXPECT_EQ(lines[blank], "");
    EXPECT_NE(readme.back(), '\n');
}

TEST(BootstrapFiles, WritesTheProtectedManifestThenTheReadme)
{
    Manifest manifest;
    manifest.version = 1;
    manifest.relyingPartyID = "ferrolatch.example";
    manifest.credentialID = "Y3JlZA";
    manifest.prfSalt = "c2FsdA";
    manifest.wrappedPassword = "d3JhcA";
    manifest.createdAt = "2026-01-31T09:15:00Z";
    manifest.resourceKind = "native-apfs-volume";
    manifest.volumeUUID = "33333333-3333-3333-3333-333333333333";
    manifest.volumeName = "PRIVATE";

    MemoryFiles files;
    files.putDirectory("/Volumes/FERROLATCH");
    writeBootstrapFiles(files, manifest, "/Volumes/FERROLATCH", "Typed Name");
    const auto& written = files.entries.at("/Volumes/FERROLATCH/ferrolatch.json");
    EXPECT_EQ(decodeManifest(written.contents), manifest);
    EXPECT_EQ(written.mode, 0444u);
    EXPECT_EQ(written.flags, 0x8002u);
    EXPECT_EQ(files.entries.at("/Volumes/FERROLATCH/README-FERROLATCH.txt").contents,
              bootstrapReadme("Typed Name", relyingPartyDomain));

    // A manifest that cannot be protected stops the README.
    MemoryFiles failing;
    failing.putDirectory("/Volumes/FERROLATCH");
    failing.failOperation("setMode");
    EXPECT_THROW(writeBootstrapFiles(failing, manifest, "/Volumes/FERROLATCH", "PRIVATE"), PlatformError);
    EXPECT_FALSE(failing.exists("/Volumes/FERROLATCH/README-FERROLATCH.txt"));
}
