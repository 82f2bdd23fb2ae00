#include "agent/mount_guard.h"
#include "agent/mount_guard_uuid.h"
#include "common/errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>

namespace ferrolatch {
namespace {

constexpr const char* enrolled = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";
constexpr const char* stranger = "0F6E1C2D-3B4A-4C5D-8E7F-9A0B1C2D3E4F";

disk_uuid::Bytes bytesOf(const char* text)
{
    return createCFUUIDFromString(text).value().bytes;
}

class RecordingLog final : public Log {
public:
    std::mutex mutex;
    std::vector<std::string> lines;
    void write(const std::string& line) override
    {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
};

// One session whose disks and claims the test sets up; every call is recorded.
class FakeSession final : public DiskArbitrationSession {
public:
    std::vector<std::string>& calls;
    std::map<std::string, std::optional<DiskDescription>> descriptions;
    std::set<std::string> claimed;
    std::optional<DiskDissenter> claimResult;
    std::function<void()> duringPortCall = [] {};
    PeekCallback peek;
    MountApprovalCallback approval;

    explicit FakeSession(std::vector<std::string>& record) : calls(record) {}
    ~FakeSession() override { calls.push_back("release session"); }

    Registration registerDiskPeekCallback(PeekCallback callback) override
    {
        calls.push_back("register peek");
        peek = std::move(callback);
        return 1;
    }
    Registration registerDiskMountApprovalCallback(MountApprovalCallback callback) override
    {
        calls.push_back("register mount approval");
        approval = std::move(callback);
        return 2;
    }
    void setDispatchQueue(std::optional<std::string_view> label) override
    {
        calls.push_back(label ? "schedule on " + std::string(*label) : "unschedule");
    }
    void unregisterCallback(Registration registration) override
    {
        calls.push_back(registration == 1 ? "unregister peek" : registration == 2 ? "unregister mount approval"
                                                                                 : "unregister what was never registered");
    }
    std::optional<DiskDescription> copyDescription(const DiskReference& disk) override
    {
        duringPortCall();
        auto found = descriptions.find(disk.bsdName);
        return found == descriptions.end() ? std::nullopt : found->second;
    }
    bool isClaimed(const DiskReference& disk) override
    {
        duringPortCall();
        return claimed.contains(disk.bsdName);
    }
    void claim(const DiskReference& disk, ClaimReleaseCallback release, ClaimCallback done) override
    {
        duringPortCall();
        calls.push_back("claim " + disk.bsdName);
        if (!claimResult) {
            claimed.insert(disk.bsdName);
            releaseCallback = std::move(release);
        }
        done(disk, claimResult);
    }

    // What Disk Arbitration does when another client wants the disk.
    std::optional<DiskDissenter> requestRelease(const DiskReference& disk)
    {
        std::optional<DiskDissenter> kept = releaseCallback(disk);
        if (!kept)
            claimed.erase(disk.bsdName);
        return kept;
    }

private:
    ClaimReleaseCallback releaseCallback;
};

class FakeDiskArbitration final : public DiskArbitration {
public:
    std::vector<std::string> calls;
    bool canCreate = true;
    FakeSession* session = nullptr;
    std::unique_ptr<DiskArbitrationSession> createSession() override
    {
        calls.push_back("create session");
        if (!canCreate)
            return nullptr;
        auto created = std::make_unique<FakeSession>(calls);
        session = created.get();
        return created;
    }
};

DiskReference disk(const std::string& name) { return {name, 0}; }

struct Bench {
    FakeDiskArbitration diskArbitration;
    RecordingLog log;
    std::unique_ptr<FerrolatchMountGuard> guard;

    explicit Bench(std::set<std::string> uuids = {enrolled})
    {
        guard = std::make_unique<FerrolatchMountGuard>(diskArbitration, log, std::move(uuids));
        session().descriptions["disk5s1"] = DiskDescription {disk_uuid::Value {bytesOf(enrolled)}};
        session().descriptions["disk5s2"] = DiskDescription {disk_uuid::Value {bytesOf(stranger)}};
    }
    FakeSession& session() { return *diskArbitration.session; }
    // What Disk Arbitration calls, through what the guard registered.
    void peek(const std::string& name) { session().peek(disk(name)); }
    std::optional<DiskDissenter> approve(const std::string& name) { return session().approval(disk(name)); }
};

TEST(MountGuard, StartsAndStopsInItsOrder)
{
    FakeDiskArbitration diskArbitration;
    RecordingLog log;
    {
        FerrolatchMountGuard guard(diskArbitration, log, {enrolled});
        EXPECT_EQ(diskArbitration.calls,
                  (std::vector<std::string> {"create session", "register peek", "register mount approval",
                                             "schedule on com.quorvel.ferrolatch.mount-approval"}));
        diskArbitration.calls.clear();
    }
    EXPECT_EQ(diskArbitration.calls, (std::vector<std::string> {"unschedule", "unregister peek",
                                                                "unregister mount approval", "release session"}));

    diskArbitration.canCreate = false;
    try {
        FerrolatchMountGuard guard(diskArbitration, log, {});
        FAIL() << "a guard without a session";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "Ferrolatch could not create a Disk Arbitration session");
    }
}

struct GuardCase {
    std::string name;
    std::set<std::string> enrolled;
    std::set<std::string> allowed;
    std::string disk;
    bool alreadyClaimed = false;
    bool blocked;
    bool claims;
};

TEST(MountGuard, DecidesByEnrolledAndAllowedUUIDs)
{
    std::string lower = "8b305870-f684-4dea-ba71-8dd6a6aa608c";
    std::vector<GuardCase> cases = {
        {"enrolled", {enrolled}, {}, "disk5s1", false, true, true},
        {"enrolled and allowed", {enrolled}, {enrolled}, "disk5s1", false, false, false},
        {"only allowed", {}, {enrolled}, "disk5s1", false, false, false},
        {"another volume", {enrolled}, {}, "disk5s2", false, false, false},
        {"inserted in lower case", {lower}, {}, "disk5s1", false, false, false},
        {"already claimed by someone else", {enrolled}, {}, "disk5s1", true, true, false},
        {"no description", {enrolled}, {}, "disk9s1", false, false, false},
        {"a description without a UUID", {enrolled}, {}, "disk6s1", false, false, false},
        {"a UUID of another kind", {enrolled}, {}, "disk7s1", false, false, false},
    };
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(c.enrolled);
        bench.session().descriptions["disk6s1"] = DiskDescription {};
        bench.session().descriptions["disk7s1"] = DiskDescription {disk_uuid::Other {"CFString"}};
        std::vector<FerrolatchMountGuard::ExplicitUnlock> windows;
        for (const std::string& uuid : c.allowed)
            windows.push_back(bench.guard->beginExplicitUnlock(uuid));
        if (c.alreadyClaimed)
            bench.session().claimed.insert(c.disk);

        EXPECT_EQ(bench.guard->shouldBlock(disk(c.disk)), c.blocked);
        std::optional<DiskDissenter> approval = bench.approve(c.disk);
        if (c.blocked)
            EXPECT_EQ(approval, (DiskDissenter {kDAReturnNotPermitted, "Ferrolatch handles this encrypted volume"}));
        else
            EXPECT_FALSE(approval);

        bench.session().calls.clear();
        bench.peek(c.disk);
        EXPECT_EQ(bench.session().calls.size(), c.claims ? 1u : 0u);
    }
}

TEST(MountGuard, AnyUUIDKindNormalisesToTheSameText)
{
    disk_uuid::Bytes bytes = bytesOf(enrolled);
    for (const DiskUUIDValue& value :
         {DiskUUIDValue {disk_uuid::Value {bytes}}, DiskUUIDValue {disk_uuid::NSUUID {bytes}},
          DiskUUIDValue {disk_uuid::CFUUID {bytes}}}) {
        EXPECT_EQ(normalizedVolumeUUID(value), std::optional<std::string>(enrolled));
        Bench bench;
        bench.session().descriptions["disk8s1"] = DiskDescription {value};
        EXPECT_TRUE(bench.guard->shouldBlock(disk("disk8s1")));
    }
    EXPECT_FALSE(normalizedVolumeUUID(disk_uuid::Other {"CFNumber"}));
}

TEST(MountGuard, ClaimsLogTheirOutcomeOnce)
{
    Bench bench;
    bench.peek("disk5s1");
    bench.peek("disk5s1"); // claimed now: not again
    bench.session().claimResult = DiskDissenter {kDAReturnExclusiveAccess, "busy"};
    bench.session().descriptions["disk8s1"] = bench.session().descriptions["disk5s1"];
    bench.peek("disk8s1");
    EXPECT_EQ(bench.log.lines, (std::vector<std::string> {
                                   "Ferrolatch claimed an enrolled encrypted volume before automatic handling",
                                   "Ferrolatch could not claim an enrolled encrypted volume"}));
}

TEST(MountGuard, ReleasesItsClaimOnlyDuringAnExplicitUnlock)
{
    Bench bench;
    bench.peek("disk5s1");
    bench.log.lines.clear();

    EXPECT_EQ(bench.session().requestRelease(disk("disk5s1")),
              (DiskDissenter {kDAReturnExclusiveAccess, "Ferrolatch handles this encrypted volume"}));
    EXPECT_TRUE(bench.session().claimed.contains("disk5s1"));

    {
        FerrolatchMountGuard::ExplicitUnlock window = bench.guard->beginExplicitUnlock(enrolled);
        EXPECT_FALSE(bench.session().requestRelease(disk("disk5s1")));
        EXPECT_FALSE(bench.approve("disk5s1"));
    }
    EXPECT_TRUE(bench.approve("disk5s1"));

    EXPECT_EQ(bench.log.lines,
              (std::vector<std::string> {"Ferrolatch retained its disk claim to suppress the generic APFS unlock prompt",
                                         "Ferrolatch released its disk claim for an explicit unlock",
                                         "Ferrolatch blocked an automatic mount for an enrolled encrypted volume"}));
}

// The agent's own unlock and a command's may overlap on one volume: it stays
// allowed until the last window closes, and ending a handle twice, or after
// the guard has gone, changes nothing.
TEST(MountGuard, OverlappingWindowsCloseWithTheLastHandle)
{
    Bench bench;
    FerrolatchMountGuard::ExplicitUnlock agent = bench.guard->beginExplicitUnlock(enrolled);
    FerrolatchMountGuard::ExplicitUnlock command = bench.guard->beginExplicitUnlock(enrolled);
    EXPECT_TRUE(bench.guard->explicitUnlockInProgress(enrolled));
    agent.end();
    agent.end();
    EXPECT_FALSE(bench.guard->shouldBlock(disk("disk5s1")));
    FerrolatchMountGuard::ExplicitUnlock moved = std::move(command);
    command.end(); // moved from: owns no window
    EXPECT_FALSE(bench.guard->shouldBlock(disk("disk5s1")));
    moved.end();
    EXPECT_TRUE(bench.guard->shouldBlock(disk("disk5s1")));
    EXPECT_FALSE(bench.guard->explicitUnlockInProgress(enrolled));

    FerrolatchMountGuard::ExplicitUnlock late = bench.guard->beginExplicitUnlock(enrolled);
    bench.guard.reset();
    late.end();
}

TEST(MountGuard, SetChangesTakeEffectAtTheNextCallback)
{
    Bench bench(std::set<std::string> {});
    EXPECT_FALSE(bench.guard->shouldBlock(disk("disk5s1")));
    bench.guard->addEnrolledVolume(enrolled);
    EXPECT_TRUE(bench.guard->shouldBlock(disk("disk5s1")));
    bench.guard->removeEnrolledVolume(enrolled); // a forgotten drive
    EXPECT_FALSE(bench.guard->shouldBlock(disk("disk5s1")));
    EXPECT_FALSE(bench.approve("disk5s1"));
}

// Every volume offered as its disk arrives is reported, enrolled or not, on
// the callback queue and before the guard claims it.
TEST(MountGuard, ReportsEachVolumeThatAppears)
{
    FakeDiskArbitration diskArbitration;
    RecordingLog log;
    std::vector<std::string> appeared;
    // With the number of claims held as each is reported: the enrolled one's comes after.
    FerrolatchMountGuard guard(diskArbitration, log, {enrolled}, [&](const std::string& uuid) {
        appeared.push_back(uuid + " " + std::to_string(diskArbitration.session->claimed.size()));
    });
    diskArbitration.session->descriptions["disk5s1"] = DiskDescription {disk_uuid::CFUUID {bytesOf(enrolled)}};
    diskArbitration.session->descriptions["disk5s2"] = DiskDescription {disk_uuid::Value {bytesOf(stranger)}};
    diskArbitration.session->descriptions["disk6s1"] = DiskDescription {};
    for (const char* name : {"disk5s1", "disk5s2", "disk6s1"})
        diskArbitration.session->peek(disk(name));
    EXPECT_EQ(appeared, (std::vector<std::string> {std::string(enrolled) + " 0", std::string(stranger) + " 1"}));
}

// Every port call checks, from another thread, that the state lock is free:
// holding it across a Disk Arbitration call would deadlock a re-entrant session.
TEST(MountGuard, NeverHoldsItsLockAcrossAPortCall)
{
    Bench bench;
    int probes = 0;
    bench.session().duringPortCall = [&] {
        ++probes;
        auto other = std::async(std::launch::async, [&] { bench.guard->addEnrolledVolume(stranger); });
        EXPECT_EQ(other.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "the state lock was held";
    };
    bench.peek("disk5s1");
    bench.approve("disk5s1");
    bench.guard->claimReleaseCallback(disk("disk5s1"));
    EXPECT_GE(probes, 4);
}

// Callbacks on the callback thread while the main thread opens and closes the
// allowed window; run under ThreadSanitizer as well.
TEST(MountGuard, CallbacksAndSetChangesRunConcurrently)
{
    Bench bench;
    std::atomic<bool> done = false;
    std::atomic<int> approvals = 0;
    std::thread callbacks([&] {
        while (!done) {
            if (!bench.approve("disk5s1"))
                ++approvals;
        }
    });
    for (int round = 0; round < 2000; ++round) {
        FerrolatchMountGuard::ExplicitUnlock window = bench.guard->beginExplicitUnlock(enrolled);
        bench.guard->addEnrolledVolume(stranger);
    }
    done = true;
    callbacks.join();
    EXPECT_TRUE(bench.guard->shouldBlock(disk("disk5s1")));
    EXPECT_TRUE(bench.guard->shouldBlock(disk("disk5s2")));
}

}
}
