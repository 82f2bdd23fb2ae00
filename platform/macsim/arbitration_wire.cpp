#include "platform/macsim/arbitration_wire.h"

#include "platform/macsim/sysroot_sockets.h"
#include "platform/posix/file_descriptor.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace ferrolatch::arbitration_wire {

using nlohmann::json;

namespace {

const char* requestName(Request request)
{
    switch (request) {
    case Request::Peek:
        return "peek";
    case Request::Approve:
        return "approve";
    case Request::Release:
        return "release";
    }
    return "peek";
}

}

std::string encodeMessage(const Message& message)
{
    json line = {{"request", requestName(message.request)}, {"disk", message.disk}};
    line["volumeUUID"] = message.volumeUUID ? json(*message.volumeUUID) : json(nullptr);
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<Message> decodeMessage(const std::string& text)
{
    try {
        json line = json::parse(text);
        Message message;
        std::string request = line.at("request").get<std::string>();
        if (request == "peek")
            message.request = Request::Peek;
        else if (request == "approve")
            message.request = Request::Approve;
        else if (request == "release")
            message.request = Request::Release;
        else
            return std::nullopt;
        message.disk = line.at("disk").get<std::string>();
        if (line.contains("volumeUUID") && line["volumeUUID"].is_string())
            message.volumeUUID = line["volumeUUID"].get<std::string>();
        return message;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::string encodeAnswer(const std::optional<DiskDissenter>& dissenter)
{
    json answer = {{"dissenter", nullptr}};
    if (dissenter)
        answer["dissenter"] = {{"status", dissenter->status}, {"statusString", dissenter->statusString}};
    return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<DiskDissenter> decodeAnswer(const std::string& text)
{
    try {
        json answer = json::parse(text);
        const json& dissenter = answer.at("dissenter");
        if (dissenter.is_null())
            return std::nullopt;
        return DiskDissenter {dissenter.at("status").get<std::uint32_t>(),
                              dissenter.at("statusString").get<std::string>()};
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::string claimFile(const std::string& sysroot, const std::string& disk)
{
    return sysroot_sockets::claimDirectory(sysroot) + "/" + disk;
}

bool createClaim(const std::string& sysroot, const std::string& disk, const Claim& claim)
{
    sysroot_sockets::makeDirectory(sysroot_sockets::claimDirectory(sysroot));
    std::string path = claimFile(sysroot, disk);
    // Written whole beside it, then linked into place: a reader never sees a
    // half-written claim, and link refuses when the disk is claimed already.
    std::string temporary = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(::gettid());
    std::string text = json {{"pid", claim.pid}, {"session", claim.session}}.dump();
    {
        FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.isOpen() || ::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            ::unlink(temporary.c_str());
            return false;
        }
    }
    bool created = false;
    for (int attempt = 0; attempt < 2 && !created; ++attempt) {
        if (::link(temporary.c_str(), path.c_str()) == 0)
            created = true;
        else if (errno != EEXIST || currentClaim(sysroot, disk))
            break;
        // A stale claim was removed by currentClaim: try once more.
    }
    ::unlink(temporary.c_str());
    return created;
}

std::optional<Claim> currentClaim(const std::string& sysroot, const std::string& disk)
{
    std::string path = claimFile(sysroot, disk);
    std::ifstream stream(path);
    if (!stream)
        return std::nullopt;
    std::stringstream text;
    text << stream.rdbuf();
    try {
        json record = json::parse(text.str());
        Claim claim {record.at("pid").get<long>(), record.at("session").get<std::string>()};
        if (sysroot_sockets::processAlive(claim.pid))
            return claim;
    } catch (const json::exception&) {
        // Half-written by a claimer that died: as good as gone.
    }
    ::unlink(path.c_str());
    return std::nullopt;
}

void removeClaim(const std::string& sysroot, const std::string& disk)
{
    ::unlink(claimFile(sysroot, disk).c_str());
}

}
