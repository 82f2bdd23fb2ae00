#include "macsim/arbitration.h"

#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "platform/macsim/arbitration_wire.h"
#include "platform/macsim/macsim_notification_center.h"
#include "platform/macsim/sysroot_sockets.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <set>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace macsim {

namespace ws = ferrolatch::sysroot_sockets;
namespace wire = ferrolatch::arbitration_wire;

namespace {

struct Answer {
    bool reached = false; // the session is alive
    std::optional<ferrolatch::DiskDissenter> dissenter;
};

// Sessions that let a request of this tool call run out of time; the rest of
// the call takes them as consenting at once rather than waiting on each again.
std::set<std::string>& silentSessions()
{
    static std::set<std::string> silent;
    return silent;
}

Answer ask(const std::string& session, wire::Request request, const ArbitratedVolume& volume)
{
    Answer answer;
    if (silentSessions().contains(session))
        return answer;
    auto connection = ws::connectStream(session);
    if (!connection)
        return answer; // its process is gone: dropped
    answer.reached = true;
    if (!ws::sendLine(connection->get(), wire::encodeMessage({request, volume.device, volume.uuid})))
        return answer;
    std::string pending;
    // No answer in time, or none at all, is consent: a hung client cannot hang the machine.
    auto asked = std::chrono::steady_clock::now();
    if (auto line = ws::readLine(connection->get(), ws::answerTimeout, pending))
        answer.dissenter = wire::decodeAnswer(*line);
    else if (std::chrono::steady_clock::now() - asked >= ws::answerTimeout)
        silentSessions().insert(session);
    return answer;
}

}

void peekSessions(const Sysroot& sysroot, const ArbitratedVolume& volume)
{
    for (const std::string& session : ws::socketsIn(ws::sessionDirectory(sysroot.root)))
        ask(session, wire::Request::Peek, volume);
}

std::optional<std::string> mountDissent(const Sysroot& sysroot, const ArbitratedVolume& volume)
{
    if (auto claim = wire::currentClaim(sysroot.root, volume.device)) {
        Answer released = ask(claim->session, wire::Request::Release, volume);
        if (released.dissenter)
            return released.dissenter->statusString;
        // Released, gone, or silent past the limit: the claim ends.
        if (auto still = wire::currentClaim(sysroot.root, volume.device); still && still->session == claim->session)
            wire::removeClaim(sysroot.root, volume.device);
    }
    return automaticMountDissent(sysroot, volume);
}

std::optional<std::string> automaticMountDissent(const Sysroot& sysroot, const ArbitratedVolume& volume)
{
    for (const std::string& session : ws::socketsIn(ws::sessionDirectory(sysroot.root))) {
        Answer approval = ask(session, wire::Request::Approve, volume);
        if (approval.dissenter)
            return approval.dissenter->statusString;
    }
    return std::nullopt;
}

bool isClaimed(const Sysroot& sysroot, const std::string& device)
{
    return wire::currentClaim(sysroot.root, device).has_value();
}

void dropClaim(const Sysroot& sysroot, const std::string& device)
{
    wire::removeClaim(sysroot.root, device);
}

namespace {

std::vector<std::string>& pendingChanges()
{
    static std::vector<std::string> pending;
    return pending;
}

}

void postVolumeChange(const Sysroot& sysroot, VolumeChange change, const std::string& mountPoint)
{
    using ferrolatch::VolumeEventKind;
    VolumeEventKind kind = change == VolumeChange::Mounted ? VolumeEventKind::DidMount
        : change == VolumeChange::Unmounted               ? VolumeEventKind::DidUnmount
                                                          : VolumeEventKind::DidRenameVolume;
    (void)sysroot;
    pendingChanges().push_back(ferrolatch::volumeEventMessage(kind, mountPoint));
}

void publishVolumeChanges(const Sysroot& sysroot)
{
    std::vector<std::string> changes;
    changes.swap(pendingChanges());
    for (const std::string& change : changes)
        ws::postToAll(ws::notificationDirectory(sysroot.root), change);
}

void postDistributedNotification(const Sysroot& sysroot, const std::string& name)
{
    ws::postToAll(ws::notificationDirectory(sysroot.root), ferrolatch::distributedNotificationMessage(name));
}

namespace {

std::optional<ferrolatch::FileDescriptor> connectAgent(const Sysroot& sysroot)
{
    for (const std::string& socket : ws::socketsIn(ws::agentDirectory(sysroot.root))) {
        if (auto connection = ws::connectStream(socket))
            return connection;
    }
    return std::nullopt;
}

// Started as launchd starts it: its own session, no terminal, nothing of the
// caller's inherited but a pipe on which it says it is listening.
void startAgent(const Sysroot& sysroot)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        throw ToolError(errnoText("pipe", errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ready[1], agentReadyDescriptor);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string program = sysroot.agentExecutable();
    std::string readyWord = std::string(agentReadyVariable) + "=" + std::to_string(agentReadyDescriptor);
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry)
        environment.push_back(*entry);
    environment.push_back(readyWord.data());
    environment.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ready[1]);
    if (failure != 0) {
        ::close(ready[0]);
        throw ToolError("macsim: " + errnoText(program, failure));
    }
    // It closes the pipe once it listens (or dies); either ends the wait.
    pollfd watched {ready[0], POLLIN, 0};
    while (::poll(&watched, 1, static_cast<int>(ws::answerTimeout.count())) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
}

}

void offerToPasswordAgent(const Sysroot& sysroot, const std::string& uuid)
{
    auto connection = connectAgent(sysroot);
    if (!connection) {
        startAgent(sysroot);
        connection = connectAgent(sysroot);
    }
    if (!connection)
        return; // no agent could be had: no prompt either
    if (!ws::sendLine(connection->get(), nlohmann::json {{"volumeUUID", uuid}}.dump()))
        return;
    std::string pending;
    ws::readLine(connection->get(), ws::answerTimeout, pending);
}

}

namespace macsim {

std::vector<std::string> shownPasswordPrompts(const Sysroot& sysroot)
{
    std::vector<std::string> prompts;
    std::ifstream log(ws::promptLog(sysroot.root));
    for (std::string line; std::getline(log, line);) {
        auto prompt = nlohmann::json::parse(line, nullptr, false);
        if (prompt.is_object() && prompt.contains("volumeUUID") && prompt["volumeUUID"].is_string())
            prompts.push_back(prompt["volumeUUID"]);
    }
    return prompts;
}

}
