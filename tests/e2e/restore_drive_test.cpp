#include "common/hex.h"
#include "common/sha256.h"
#include "tests/e2e/drive_test_support.h"

#include <sys/stat.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

struct BackupFile {
    std::string path;
    std::string contents;
    fs::perms mode;
};

const std::vector<BackupFile> backupFiles = {
    {"notes.txt", "family notes\n", fs::perms(0644)},
    {"keys/secret.bin", std::string("\0\1\2binary\xff", 10), fs::perms(0600)},
    {"bin/run.sh", "#!/bin/sh\necho hi\n", fs::perms(0755)},
};

// A set-up drive, a backup in a folder and its receipt.
struct RestoreMac : DriveMac {
    std::string manifestPath = work + "/private.json";
    std::string source = work + "/backup";
    std::string receipt = work + "/backup.sha256";
    std::string mount = mac.sysroot() + "/Volumes/PRIVATE";

    void SetUp() override
    {
        addDisk("SanDisk Ultra", "256m");
        ASSERT_EQ(initDrive("disk4", manifestPath).status, 0);
        std::string text;
        for (const BackupFile& file : backupFiles) {
            fs::create_directories(fs::path(source + "/" + file.path).parent_path());
            std::ofstream(source + "/" + file.path, std::ios::binary) << file.contents;
            fs::permissions(source + "/" + file.path, file.mode);
            text += hexString(sha256(file.contents)) + " *./" + file.path + "\n";
        }
        std::ofstream(receipt, std::ios::binary) << text;
    }

    RunResult restore(const json& script = json::array({signInAnswer}))
    {
        return ferrolatch({"restore-drive", manifestPath, source, receipt}, script);
    }
    bool locked() { return (*volumeNamed("PRIVATE"))["locked"]; }
    std::string uuid() { return (*volumeNamed("PRIVATE"))["uuid"]; }
};

}

TEST_F(RestoreMac, RestoresVerifiesAndLocksWithoutThePasswordShowing)
{
    RunResult restored = restore();
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.err, "");
    EXPECT_EQ(restored.out, "VERIFYING SOURCE RECEIPT\n"
                            "SOURCE VERIFIED \u2014 3 files, 41 bytes\n"
                            "COPYING VERIFIED SOURCE TO " + mount + "/Backups\n"
                            "VERIFYING DESTINATION RECEIPT\n"
                            "RESTORE PASSED\n"
                            "Copied and re-verified 3 files, then re-locked the encrypted volume.\n");
    EXPECT_EQ(alertMessages(), std::vector<std::string> {"Sign in to " + std::string(relyingPartyDomain) + " with your passkey"});
    EXPECT_TRUE(locked());

    ASSERT_EQ(ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer})).status, 0);
    for (const BackupFile& file : backupFiles) {
        SCOPED_TRACE(file.path);
        EXPECT_EQ(readTextFile(mount + "/Backups/" + file.path), file.contents);
        EXPECT_EQ(modeOf(mount + "/Backups/" + file.path), static_cast<std::uint32_t>(file.mode));
    }
    EXPECT_EQ(readTextFile(mount + "/staged-backup.sha256"), readTextFile(receipt));
    ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);

    std::string password = learnPassword(manifestPath);
    EXPECT_EQ(mac.macsimOrThrow({"audit"}).find(password), std::string::npos) << "in an argument vector";
    EXPECT_EQ(everything.find(password), std::string::npos) << "on stdout, stderr or in a transcript";
    EXPECT_EQ(sysrootFilesHolding(password), std::vector<std::string> {});
}

TEST_F(RestoreMac, AnAlteredSourceIsRefusedBeforeAnyPasskeySheet)
{
    std::ofstream(source + "/bin/run.sh") << "#!/bin/sh\necho changed\n";
    std::size_t calls = audit().size();
    RunResult refused = restore();
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "VERIFYING SOURCE RECEIPT\n");
    EXPECT_EQ(refused.err, "ferrolatch-proof: SHA-256 mismatch for bin/run.sh\n");
    EXPECT_TRUE(shown().empty()) << "nothing was shown";
    EXPECT_EQ(audit().size(), calls) << "no tool ran";
}

TEST_F(RestoreMac, EachFailureAfterTheUnlockLeavesTheVolumeLocked)
{
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::string error;
    };
    const Case cases[] = {
        {"too little free space", [&] { mac.macsimOrThrow({"volume", "set", uuid(), "FreeSpace", "64m"}); },
         "encrypted volume does not have enough free space for a verified restore"},
        {"ditto fails",
         [&] {
             mac.macsimOrThrow({"volume", "set", uuid(), "FreeSpace", "auto"});
             mac.macsimOrThrow({"fault", "add", "--tool", "ditto", "--args-prefix", source, "--stderr",
                                "ditto: write error: Input/output error"});
         },
         "ditto failed: ditto: write error: Input/output error"},
        {"copy damaged on the drive",
         [&] { mac.macsimOrThrow({"fault", "add", "--tool", "ditto", "--args-prefix", source, "--corrupt-copy"}); },
         "SHA-256 mismatch for bin/run.sh"},
        {"Backups already there",
         [&] {
             ASSERT_EQ(ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer})).status, 0);
             fs::create_directories(mount + "/Backups/older"); // over the damaged copy
             ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);
         },
         "refusing to replace existing restore directory at " + mount + "/Backups"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        RunResult refused = restore();
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "ferrolatch-proof: " + c.error + "\n");
        EXPECT_EQ(alertMessages().size(), 1u) << "the passkey was asked for once";
        EXPECT_TRUE(locked());
        EXPECT_EQ(refused.out.find("RESTORE PASSED"), std::string::npos);
    }
    std::string password = learnPassword(manifestPath);
    EXPECT_EQ(mac.macsimOrThrow({"audit"}).find(password), std::string::npos);
    EXPECT_EQ(everything.find(password), std::string::npos);
}

TEST(SelfTestCommand, PassesTwiceLeavingNothingAndNeedsTheAgentsCapability)
{
    VirtualMac mac;
    std::string temporary = mac.sysroot() + "/tmp";
    fs::create_directories(temporary);
    for (int run = 0; run < 2; ++run) {
        RunResult passed = mac.ferrolatch({"self-test"}, {{"TMPDIR", temporary}});
        EXPECT_EQ(passed.status, 0) << passed.err;
        EXPECT_EQ(passed.out, "CRYPTOGRAPHIC SELF-TEST PASSED\n");
        EXPECT_EQ(passed.err, "");
        EXPECT_TRUE(fs::is_empty(temporary));
    }

    VirtualMac older({"--no-prompt-suppression"});
    RunResult refused = older.ferrolatch({"self-test"}, {{"TMPDIR", temporary}});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "ferrolatch-proof: this macOS build lacks Ferrolatch's APFS prompt suppression capability\n");
}
