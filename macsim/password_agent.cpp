#include "macsim/password_agent.h"

#include "macsim/arbitration.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "platform/macsim/macsim_preferences.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/macsim/sysroot_sockets.h"
#include "platform/posix/syslog_log.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace macsim {

namespace ws = ferrolatch::sysroot_sockets;

namespace {

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string localNow()
{
    char text[32] = {};
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string readOrEmpty(const std::string& path)
{
    try {
        return readFile(path);
    } catch (const ToolError&) {
        return {};
    }
}

}

bool promptWanted(std::string_view agentExecutableBytes, std::string_view preferenceDomainBytes,
                  const std::string& volumeUUID, const std::string& now)
{
    // The capability probe looks for this phrase in the agent's executable,
    // which holds this code: it is kept backwards here so that only the bytes
    // macsim init appends can carry it.
    static const std::string_view backwards = "deriuqer tpmorp oN";
    const std::string capability(backwards.rbegin(), backwards.rend());
    if (agentExecutableBytes.find(capability) == std::string_view::npos)
        return true; // an agent that does not know the preference
    auto domain = ferrolatch::decodePreferenceDomain(preferenceDomainBytes);
    if (!domain)
        return true;
    auto entry = domain->find(upper(volumeUUID));
    if (entry == domain->end() || !entry->second.dictionary())
        return true;
    const auto& settings = *entry->second.dictionary();
    auto until = settings.find("DontUnlockVolume");
    if (until == settings.end() || !until->second.string())
        return true;
    return *until->second.string() <= now;
}

std::string promptLine(const std::string& volumeUUID)
{
    return "APFSUserAgent: password prompt for volume " + volumeUUID;
}

void recordPrompt(const Sysroot& sysroot, const std::string& volumeUUID)
{
    ferrolatch::SyslogLog host("APFSUserAgent");
    ferrolatch::SysrootLog log(sysroot.root, "APFSUserAgent", host);
    log.write(promptLine(volumeUUID));
    appendLine(ws::promptLog(sysroot.root), nlohmann::json {{"volumeUUID", volumeUUID}}.dump());
}

std::string agentPreferenceFile(const Sysroot& sysroot)
{
    std::string login = "user";
    try {
        login = nlohmann::json::parse(readFile(sysroot.stateFile())).at("login").get<std::string>();
    } catch (const std::exception&) {
    }
    return sysroot.root + "/Users/" + login + "/Library/Preferences/com.apple.APFSUserAgent.plist";
}

namespace {

void serve(const Sysroot& sysroot, int client)
{
    std::string pending;
    auto line = ws::readLine(client, ws::answerTimeout, pending);
    if (!line)
        return;
    auto request = nlohmann::json::parse(*line, nullptr, false);
    if (!request.is_object() || !request.contains("volumeUUID") || !request["volumeUUID"].is_string())
        return;
    std::string uuid = request["volumeUUID"];
    bool prompted = promptWanted(readOrEmpty(sysroot.agentExecutable()), readOrEmpty(agentPreferenceFile(sysroot)),
                                 uuid, localNow());
    if (prompted) {
        try {
            recordPrompt(sysroot, uuid);
        } catch (const ToolError&) {
            // A prompt nobody could record is still shown.
        }
    }
    ws::sendLine(client, nlohmann::json {{"prompted", prompted}}.dump());
}

}

int runPasswordAgent()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    std::optional<ferrolatch::FileDescriptor> listener;
    std::optional<Sysroot> sysroot = locateSysroot("/System/Library/CoreServices/APFSUserAgent");
    if (sysroot) {
        try {
            std::string directory = ws::agentDirectory(sysroot->root);
            ws::makeDirectory(directory);
            listener = ws::listenStream(directory + "/" + std::to_string(::getpid()) + ".sock");
        } catch (const std::exception&) {
            listener.reset();
        }
    }
    // Whoever started it on demand waits for this.
    if (const char* ready = std::getenv(agentReadyVariable))
        ::close(std::atoi(ready));
    if (!listener) {
        for (;;)
            ::pause();
    }
    // It holds nothing slow to close (an inotify watch would be), so a killed
    // agent is gone as soon as pgrep stops listing it.
    for (;;) {
        int client = ::accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (client < 0)
            return 1;
        serve(*sysroot, client);
        ::close(client);
    }
}

}
