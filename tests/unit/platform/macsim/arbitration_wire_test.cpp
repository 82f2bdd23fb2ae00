// What the virtual Mac's tools and sessions say to each other, the claims
// between them and the mounted-volume listing read from the machine's state.
#include "common/uuid_text.h"
#include "platform/macsim/arbitration_wire.h"
#include "platform/macsim/macsim_disk_arbitration.h"
#include "platform/macsim/macsim_mounted_volumes.h"
#include "platform/macsim/sysroot_sockets.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace ferrolatch;
using namespace ferrolatch::arbitration_wire;

namespace {

const std::string uuid = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";

struct TemporarySysroot {
    TemporarySysroot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-wire-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        root = pattern;
        std::filesystem::create_directories(root + "/private/var/db/macsim");
        std::ofstream(root + "/private/var/db/macsim/state.json") << "{}";
    }
    ~TemporarySysroot() { std::filesystem::remove_all(root); }
    std::string root;
};

long exitedProcess()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

}

TEST(ArbitrationWire, MessagesAndAnswersSurviveTheirWireForm)
{
    for (Request request : {Request::Peek, Request::Approve, Request::Release}) {
        for (std::optional<std::string> volumeUUID : {std::optional<std::string>(uuid), std::optional<std::string>()}) {
            auto decoded = decodeMessage(encodeMessage({request, "disk5s2", volumeUUID}));
            ASSERT_TRUE(decoded);
            EXPECT_EQ(decoded->request, request);
            EXPECT_EQ(decoded->disk, "disk5s2");
            EXPECT_EQ(decoded->volumeUUID, volumeUUID);
        }
    }
    for (const char* line : {"", "{", "[]", R"({"request":"eject","disk":"disk5s2"})", R"({"request":"peek"})"})
        EXPECT_FALSE(decodeMessage(line)) << line;

    DiskDissenter dissenter {kDAReturnNotPermitted, "Ferrolatch handles this encrypted volume"};
    EXPECT_EQ(decodeAnswer(encodeAnswer(dissenter)), dissenter);
    EXPECT_EQ(decodeAnswer(encodeAnswer(std::nullopt)), std::nullopt);
    // An answer nobody can read is consent, as a session that never answered.
    EXPECT_EQ(decodeAnswer("garbage"), std::nullopt);
    EXPECT_EQ(decodeAnswer(R"({"dissenter":{"status":"x"}})"), std::nullopt);
}

TEST(ArbitrationWire, UUIDBytesOnlyFromTheCanonicalShapeInEitherCase)
{
    auto upper = uuidBytesFromText(uuid);
    ASSERT_TRUE(upper);
    EXPECT_EQ((*upper)[0], 0x6F);
    EXPECT_EQ((*upper)[15], 0x5B);
    EXPECT_EQ(uuidBytesFromText("6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b"), upper);
    for (const char* text : {"", "6F1C9A2E3B4D4E5F8A9B0C1D2E3F4A5B", "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5",
                             "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5BB", "6F1C9A2E-3B4D4-E5F-8A9B-0C1D2E3F4A5B",
                             "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5G"})
        EXPECT_FALSE(uuidBytesFromText(text)) << text;
}

TEST(ArbitrationWire, AClaimIsExclusiveUntilItsProcessIsGone)
{
    TemporarySysroot sysroot;
    EXPECT_FALSE(currentClaim(sysroot.root, "disk5s2"));
    ASSERT_TRUE(createClaim(sysroot.root, "disk5s2", {getpid(), "/first.sock"}));
    EXPECT_FALSE(createClaim(sysroot.root, "disk5s2", {getpid(), "/second.sock"}));
    ASSERT_TRUE(currentClaim(sysroot.root, "disk5s2"));
    EXPECT_EQ(currentClaim(sysroot.root, "disk5s2")->session, "/first.sock");
    EXPECT_TRUE(createClaim(sysroot.root, "disk5s1", {getpid(), "/second.sock"}));

    // The claimer died: its claim is as good as none, and can be taken.
    removeClaim(sysroot.root, "disk5s2");
    ASSERT_TRUE(createClaim(sysroot.root, "disk5s2", {exitedProcess(), "/dead.sock"}));
    EXPECT_FALSE(currentClaim(sysroot.root, "disk5s2"));
    EXPECT_TRUE(createClaim(sysroot.root, "disk5s2", {getpid(), "/third.sock"}));

    // A file nobody can read counts as no claim, never as a lasting one.
    std::ofstream(claimFile(sysroot.root, "disk6s1")) << "{\"pid\":";
    EXPECT_FALSE(currentClaim(sysroot.root, "disk6s1"));
    EXPECT_FALSE(std::filesystem::exists(claimFile(sysroot.root, "disk6s1")));
}

TEST(MacsimDiskArbitration, AnUnscheduledSessionConsentsAndASessionLeavesNothingBehind)
{
    TemporarySysroot sysroot;
    MacsimDiskArbitration arbitration(sysroot.root);
    auto session = arbitration.createSession();
    ASSERT_TRUE(session);
    auto sockets = sysroot_sockets::socketsIn(sysroot_sockets::sessionDirectory(sysroot.root));
    ASSERT_EQ(sockets.size(), 1u);

    // Registered but not scheduled: no callback runs, the answer is consent.
    std::atomic<int> calls = 0;
    session->registerDiskMountApprovalCallback([&calls](const DiskReference&) -> std::optional<DiskDissenter> {
        ++calls;
        return DiskDissenter {kDAReturnNotPermitted, "no"};
    });
    auto connection = sysroot_sockets::connectStream(sockets[0]);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(sysroot_sockets::sendLine(connection->get(), encodeMessage({Request::Approve, "disk5s2", uuid})));
    std::string pending;
    auto answer = sysroot_sockets::readLine(connection->get(), std::chrono::seconds(5), pending);
    ASSERT_TRUE(answer);
    EXPECT_EQ(decodeAnswer(*answer), std::nullopt);
    EXPECT_EQ(calls, 0);

    // Scheduled, the same request reaches the callback.
    session->setDispatchQueue("test");
    connection = sysroot_sockets::connectStream(sockets[0]);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(sysroot_sockets::sendLine(connection->get(), encodeMessage({Request::Approve, "disk5s2", uuid})));
    answer = sysroot_sockets::readLine(connection->get(), std::chrono::seconds(5), pending);
    ASSERT_TRUE(answer);
    EXPECT_EQ(decodeAnswer(*answer), (DiskDissenter {kDAReturnNotPermitted, "no"}));
    EXPECT_EQ(calls, 1);

    session->claim({"disk5s2", 0}, {}, {});
    EXPECT_TRUE(session->isClaimed({"disk5s2", 0}));
    session.reset();
    EXPECT_TRUE(sysroot_sockets::socketsIn(sysroot_sockets::sessionDirectory(sysroot.root)).empty());
    EXPECT_FALSE(currentClaim(sysroot.root, "disk5s2"));
}

TEST(MacsimDiskArbitration, NoSessionWhereNoVirtualMacWasMade)
{
    std::string nowhere = (std::filesystem::temp_directory_path() / "ferrolatch-wire-none").string();
    MacsimDiskArbitration arbitration(nowhere);
    EXPECT_FALSE(arbitration.createSession());
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

TEST(MacsimMountedVolumes, ListsTheRootThenMountedVolumesOfAttachedDisks)
{
    using nlohmann::json;
    auto volume = [](std::string name, bool mounted, std::string mountPoint, bool browsable) {
        return json {{"name", name}, {"uuid", name + "-UUID"}, {"mounted", mounted}, {"mountPoint", mountPoint},
                     {"browsable", browsable}};
    };
    json state = {
        {"disks",
         {{{"number", 0}, {"internal", true}, {"attached", true}},
          {{"number", 4}, {"internal", false}, {"attached", true}},
          {{"number", 6}, {"internal", false}, {"attached", false}}}},
        {"containers",
         {{{"store", "disk4s2"},
           {"volumes", {volume("HIDDEN", true, "/s/Volumes/HIDDEN", false), volume("OFF", false, "", true)}}},
          {{"store", "disk0s2"}, {"volumes", {volume("Macintosh HD", true, "/", true)}}},
          {{"store", "disk6s2"}, {"volumes", {volume("GONE", true, "/s/Volumes/GONE", true)}}},
          {{"store", "disk4s3"}, {"volumes", {volume("SHOWN", true, "/s/Volumes/SHOWN", true)}}}}},
    };
    auto paths = [](const std::vector<MountedVolumeInfo>& listed) {
        std::vector<std::string> result;
        for (const auto& info : listed)
            result.push_back(info.path);
        return result;
    };
    auto listed = mountedVolumesInState(state.dump(), MountedVolumes::Hidden::Listed);
    EXPECT_EQ(paths(listed), (std::vector<std::string> {"/", "/s/Volumes/HIDDEN", "/s/Volumes/SHOWN"}));
    EXPECT_EQ(listed[1].name, "HIDDEN");
    EXPECT_EQ(listed[1].uuid, "HIDDEN-UUID");
    EXPECT_EQ(listed[1].isBrowsable, false);
    EXPECT_EQ(listed[1].isInternal, false);
    EXPECT_EQ(listed[1].isRemovable, true);
    EXPECT_EQ(listed[0].isInternal, true);
    EXPECT_EQ(paths(mountedVolumesInState(state.dump(), MountedVolumes::Hidden::Skipped)),
              (std::vector<std::string> {"/", "/s/Volumes/SHOWN"}));
    EXPECT_TRUE(mountedVolumesInState("not json", MountedVolumes::Hidden::Listed).empty());
    EXPECT_TRUE(mountedVolumesInState(R"({"disks":[]})", MountedVolumes::Hidden::Listed).empty());
}
