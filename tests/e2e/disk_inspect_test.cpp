#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>

using namespace ferrolatch::e2e;

namespace {

std::string sha256Hex(const std::string& text)
{
    std::array<unsigned char, 32> digest {};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned char byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string addDisk(const VirtualMac& mac, std::vector<std::string> extra = {})
{
    std::vector<std::string> arguments {"disk", "add", "--media", "Ferrolatch fixture", "--size", "128m", "--bus",
                                        "USB", "--tree", "fixture:/external/usb"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return trimmed(mac.macsimOrThrow(arguments));
}

std::string expectedInspection(const std::string& disk, const std::string& media, const std::string& size,
                               const std::string& tree)
{
    std::string token = sha256Hex(disk + "|" + media + "|USB|" + size + "|" + tree).substr(0, 16);
    return "{\n"
           "  \"busProtocol\" : \"USB\",\n"
           "  \"confirmationToken\" : \"ERASE-" + disk + "-" + token + "\",\n"
           "  \"deviceIdentifier\" : \"" + disk + "\",\n"
           "  \"deviceNode\" : \"/dev/" + disk + "\",\n"
           "  \"deviceTreePath\" : \"" + tree + "\",\n"
           "  \"mediaName\" : \"" + media + "\",\n"
           "  \"schema\" : \"ferrolatch.inspect.v1\",\n"
           "  \"sizeBytes\" : " + size + "\n"
           "}\n";
}

}

TEST(InspectDrive, PrintsTheUSBDiskAndItsToken)
{
    VirtualMac mac;
    ASSERT_EQ(addDisk(mac), "disk4");
    RunResult run = mac.ferrolatch({"inspect-drive", "disk4"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expectedInspection("disk4", "Ferrolatch fixture", "134217728", "fixture:/external/usb"));

    // The same disk read again gives the same token; a changed identity gives another.
    EXPECT_EQ(mac.ferrolatch({"inspect-drive", "disk4"}).out, run.out);
    mac.macsimOrThrow({"disk", "set", "disk4", "MediaName", "Other stick"});
    RunResult changed = mac.ferrolatch({"inspect-drive", "disk4"});
    EXPECT_EQ(changed.out, expectedInspection("disk4", "Other stick", "134217728", "fixture:/external/usb"));
}

TEST(InspectDrive, RefusesEveryDiskThatMayNotBeErased)
{
    VirtualMac mac;
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string error;
    };
    const Case cases[] = {
        {"internal disk", {"--internal"}, "refusing an internal disk"},
        {"virtual disk", {"--virtual"}, "refusing a disk that is not a physical external/removable device"},
        {"read-only disk", {"--read-only"}, "refusing a read-only or system-image disk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string disk = addDisk(mac, c.options);
        RunResult run = mac.ferrolatch({"inspect-drive", disk});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "ferrolatch-proof: " + c.error + "\n");
    }

    std::string small = trimmed(mac.macsimOrThrow({"disk", "add", "--media", "Tiny", "--size", "32m", "--bus", "USB",
                                                   "--tree", "fixture:/external/tiny"}));
    RunResult run = mac.ferrolatch({"inspect-drive", small});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ferrolatch-proof: disk identity is incomplete or implausibly small\n");
}

TEST(InspectDrive, RefusesPartitionsAndUnknownDisks)
{
    VirtualMac mac;
    ASSERT_EQ(addDisk(mac), "disk4");
    ASSERT_EQ(mac.tool("/usr/sbin/diskutil", {"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"}).status, 0);

    for (const char* identifier : {"disk4s2", "/dev/disk4"}) {
        SCOPED_TRACE(identifier);
        RunResult run = mac.ferrolatch({"inspect-drive", identifier});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "ferrolatch-proof: whole disk must use the exact diskN identifier form\n");
    }

    // The APFS container's synthesized disk is a whole disk, but virtual.
    RunResult container = mac.ferrolatch({"inspect-drive", "disk5"});
    EXPECT_EQ(container.err, "ferrolatch-proof: refusing a disk that is not a physical external/removable device\n");

    RunResult unknown = mac.ferrolatch({"inspect-drive", "disk42"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err.rfind("ferrolatch-proof: diskutil failed: ", 0), 0u) << unknown.err;
}
