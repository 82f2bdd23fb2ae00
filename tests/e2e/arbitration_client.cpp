// A small process of the virtual Mac for the end-to-end tests: it opens a Disk
// Arbitration session and observes notifications through the product's own
// adapters, behaves as its command line says, and reports each callback as a
// line on standard output. It ends when its standard input closes.
//
// "hang" hangs the session's queue at its first callback.
//   arbitration-client [--approval approve|dissent|hang] [--claim none|keep|release]
//                      [--guard UUID]... [--observe NAME]... [--volumes] [--no-session]
//
// With --guard the session belongs to the product's mount guard, protecting
// the given volumes; standard input then takes "allow UUID" and "end UUID".
#include "agent/mount_guard.h"
#include "agent/mount_guard_uuid.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_disk_arbitration.h"
#include "platform/macsim/macsim_mounted_volumes.h"
#include "platform/macsim/macsim_notification_center.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/syslog_log.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace ferrolatch;

namespace {

std::mutex printing;

void say(const std::string& line)
{
    std::lock_guard lock(printing);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct Behaviour {
    std::string approval = "approve";
    std::string claim = "none";
    DiskArbitrationSession* session = nullptr;
};

std::string uuidOf(DiskArbitrationSession& session, const DiskReference& disk)
{
    auto description = session.copyDescription(disk);
    if (!description || !description->volumeUUID)
        return "none";
    return normalizedVolumeUUID(*description->volumeUUID).value_or("none");
}

const DiskDissenter refusal {kDAReturnNotPermitted, "the test client refuses this mount"};
const DiskDissenter keeping {kDAReturnExclusiveAccess, "the test client keeps its claim"};

std::optional<DiskDissenter> release(const DiskReference& disk, Behaviour& behaviour)
{
    say("release " + disk.bsdName);
    if (behaviour.claim == "keep")
        return keeping;
    return std::nullopt;
}

void claimed(const DiskReference& disk, const std::optional<DiskDissenter>& dissenter)
{
    say((dissenter ? "claim refused " : "claimed ") + disk.bsdName);
}

[[noreturn]] void hangForever()
{
    std::mutex never;
    std::condition_variable forever;
    std::unique_lock lock(never);
    forever.wait(lock, [] { return false; });
    std::abort();
}

void peek(const DiskReference& disk, Behaviour& behaviour)
{
    DiskArbitrationSession& session = *behaviour.session;
    if (behaviour.approval == "hang") {
        say("peek " + disk.bsdName);
        hangForever();
    }
    bool alreadyClaimed = session.isClaimed(disk);
    say("peek " + disk.bsdName + " " + uuidOf(session, disk) + (alreadyClaimed ? " claimed" : ""));
    if (behaviour.claim != "none")
        session.claim(
            disk, [&behaviour](const DiskReference& released) { return release(released, behaviour); }, claimed);
}

std::optional<DiskDissenter> approve(const DiskReference& disk, Behaviour& behaviour)
{
    say("approve " + disk.bsdName);
    if (behaviour.approval == "hang")
        hangForever();
    if (behaviour.approval == "dissent")
        return refusal;
    return std::nullopt;
}

const char* eventName(VolumeEventKind kind)
{
    return kind == VolumeEventKind::DidMount ? "did-mount" : kind == VolumeEventKind::DidUnmount ? "did-unmount"
                                                                                                : "did-rename-volume";
}

}

int main(int argc, char** argv)
{
    const char* root = std::getenv("FERROLATCH_SYSROOT");
    if (!root)
        return 2;
    std::string sysroot = root;
    Behaviour behaviour;
    std::set<std::string> guarded;
    std::vector<std::string> observed;
    bool volumes = false;
    bool withSession = true;
    for (int index = 1; index < argc; ++index) {
        std::string word = argv[index];
        std::string value = index + 1 < argc ? argv[index + 1] : "";
        if (word == "--approval")
            behaviour.approval = value, ++index;
        else if (word == "--claim")
            behaviour.claim = value, ++index;
        else if (word == "--guard")
            guarded.insert(value), ++index;
        else if (word == "--observe")
            observed.push_back(value), ++index;
        else if (word == "--volumes")
            volumes = true;
        else if (word == "--no-session")
            withSession = false;
        else
            return 2;
    }

    SystemClock clock;
    HeadlessMainLoop loop(clock);
    MacsimDiskArbitration arbitration(sysroot);
    MacsimNotificationCenter center(sysroot, loop);
    SyslogLog host("arbitration-client");
    SysrootLog log(sysroot, "arbitration-client", host);

    std::unique_ptr<FerrolatchMountGuard> guard;
    std::unique_ptr<DiskArbitrationSession> session;
    if (!guarded.empty()) {
        guard = std::make_unique<FerrolatchMountGuard>(arbitration, log, guarded);
    } else if (withSession) {
        session = arbitration.createSession();
        if (!session)
            return 3;
        behaviour.session = session.get();
        session->registerDiskPeekCallback([&behaviour](const DiskReference& disk) { peek(disk, behaviour); });
        session->registerDiskMountApprovalCallback(
            [&behaviour](const DiskReference& disk) { return approve(disk, behaviour); });
        session->setDispatchQueue("test.arbitration-client");
    }
    for (const std::string& name : observed)
        center.observe(name, [name] { say("notification " + name); });
    // Each event says whether the volume listing already shows the change.
    MacsimMountedVolumes listing(sysroot);
    if (volumes)
        center.observe([&listing](const VolumeEvent& event) {
            bool listed = false;
            for (const MountedVolumeInfo& volume : listing.mountedVolumes(MountedVolumes::Hidden::Listed))
                listed = listed || volume.path == event.path;
            say(std::string("volume ") + eventName(event.kind) + " " + event.path + (listed ? " listed" : " unlisted"));
        });

    std::map<std::string, FerrolatchMountGuard::ExplicitUnlock> windows;
    std::thread input([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            loop.post([&, line] {
                if (line.rfind("allow ", 0) == 0 && guard)
                    windows[line.substr(6)] = guard->beginExplicitUnlock(line.substr(6));
                else if (line.rfind("end ", 0) == 0 && guard)
                    windows.erase(line.substr(4));
                say("ok " + line);
            });
        }
        loop.post([&] { loop.stop(); });
    });
    say("ready");
    loop.run();
    input.join();
    // A hung callback would keep the queue from ever stopping.
    if (behaviour.approval == "hang")
        std::_Exit(0);
    return 0;
}
