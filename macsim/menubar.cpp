#include "macsim/menubar.h"

#include "common/virtual_mac_location.h"
#include "macsim/basics.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace macsim {

namespace {

using nlohmann::json;

// The published items of processes that are still running, by process id.
std::vector<json> liveItems(const std::string& sysroot)
{
    std::vector<std::pair<long, json>> items;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(ferrolatch::virtual_mac::menuBarDirectory(sysroot), error)) {
        if (entry.path().extension() != ".json")
            continue;
        std::ifstream file(entry.path());
        json item = json::parse(file, nullptr, false);
        if (!item.is_object() || !item.contains("pid") || !item["pid"].is_number_integer())
            continue;
        long pid = item["pid"].get<long>();
        // A process that died without tidying up leaves its item behind.
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            continue;
        items.emplace_back(pid, std::move(item));
    }
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<json> ordered;
    for (auto& [pid, item] : items)
        ordered.push_back(std::move(item));
    return ordered;
}

std::string text(const json& item, const char* key)
{
    return item.contains(key) && item[key].is_string() ? item[key].get<std::string>() : std::string();
}

void printItem(const json& item, std::ostream& out)
{
    out << text(item, "process") << " (pid " << item["pid"].get<long>() << ")\n";
    if (item.contains("icon") && item["icon"].is_string())
        out << "  icon: " << item["icon"].get<std::string>() << "\n";
    else
        out << "  title: " << text(item, "title") << "\n";
    out << "  tooltip: " << text(item, "toolTip") << "\n";
    for (const json& row : item.value("rows", json::array())) {
        if (row.value("separator", false)) {
            out << "  ----\n";
            continue;
        }
        out << "  " << (row.value("checked", false) ? "\u2713 " : "  ") << text(row, "title");
        if (!text(row, "key").empty())
            out << "  \u2318" << text(row, "key");
        if (!row.value("enabled", true))
            out << "  (disabled)";
        out << "\n";
    }
}

bool hasRow(const json& item, const std::string& title)
{
    for (const json& row : item.value("rows", json::array()))
        if (!row.value("separator", false) && text(row, "title") == title)
            return true;
    return false;
}

// Sends one click and waits for the process's answer, however long its action runs.
json sendClick(const std::string& socketPath, const std::string& title)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        throw ToolError("macsim: the status item's socket path is too long");
    socketPath.copy(address.sun_path, socketPath.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        if (fd >= 0)
            ::close(fd);
        throw ToolError("macsim: cannot reach the status item: " + std::string(std::strerror(error)));
    }
    std::string request = json {{"click", title}}.dump() + "\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t wrote = ::write(fd, request.data() + sent, request.size() - sent);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        sent += static_cast<std::size_t>(wrote);
    }
    std::string reply;
    char buffer[512];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    json answer = json::parse(reply, nullptr, false);
    if (!answer.is_object())
        throw ToolError("macsim: the status item's process ended before it answered");
    return answer;
}

}

void menuBarCommand(const std::string& sysroot, const std::vector<std::string>& arguments, std::ostream& out)
{
    std::vector<json> items = liveItems(sysroot);
    if (arguments.empty()) {
        for (const json& item : items)
            printItem(item, out);
        return;
    }
    if (arguments.size() != 2 || arguments[0] != "click")
        throw ToolError("macsim: unrecognised command line (macsim help lists the commands)");
    const std::string& title = arguments[1];
    auto found = std::find_if(items.begin(), items.end(), [&](const json& item) { return hasRow(item, title); });
    if (found == items.end())
        throw ToolError("macsim: no status item has a row \"" + title + "\"");
    if (!(*found).contains("socket") || !(*found)["socket"].is_string())
        throw ToolError("macsim: the status item of " + text(*found, "process") + " takes no clicks");
    json answer = sendClick((*found)["socket"].get<std::string>(), title);
    if (answer.contains("error") && answer["error"].is_string())
        throw ToolError("macsim: " + answer["error"].get<std::string>());
    out << "chose " << title << "\n";
}

}
