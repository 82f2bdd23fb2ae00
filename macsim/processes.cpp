#include "macsim/processes.h"

#include "macsim/basics.h"
#include "macsim/file_ops.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fstream>
#include <unistd.h>

namespace macsim {

namespace {

std::vector<int> allPids()
{
    std::vector<int> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (dirent* entry = ::readdir(proc)) {
        const char* name = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            continue;
        pids.push_back(std::atoi(name));
    }
    ::closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string linkTarget(const std::string& path)
{
    std::string target(4096, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0)
        return {};
    target.resize(static_cast<std::size_t>(length));
    return target;
}

bool atOrBelow(const std::string& path, const std::string& root)
{
    return path == root || (path.size() > root.size() && startsWith(path, root) && path[root.size()] == '/');
}

unsigned realUid(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (startsWith(line, "Uid:"))
            return static_cast<unsigned>(std::strtoul(line.c_str() + 4, nullptr, 10));
    }
    return static_cast<unsigned>(-1);
}

}

std::vector<ProcessInfo> processesInside(const std::string& root)
{
    std::vector<ProcessInfo> found;
    for (int pid : allPids()) {
        std::string executable = linkTarget("/proc/" + std::to_string(pid) + "/exe");
        if (executable.empty() || !atOrBelow(executable, root) || executable == root)
            continue;
        ProcessInfo info;
        info.pid = pid;
        info.uid = realUid(pid);
        info.executable = executable;
        info.name = executable.substr(executable.find_last_of('/') + 1);
        found.push_back(std::move(info));
    }
    return found;
}

std::optional<ProcessInfo> processUsing(const std::string& path)
{
    const int self = ::getpid();
    for (int pid : allPids()) {
        if (pid == self)
            continue;
        std::string base = "/proc/" + std::to_string(pid);
        bool busy = atOrBelow(linkTarget(base + "/cwd"), path) || atOrBelow(linkTarget(base + "/root"), path);
        if (!busy) {
            if (DIR* fds = ::opendir((base + "/fd").c_str())) {
                while (dirent* entry = ::readdir(fds)) {
                    if (entry->d_name[0] == '.')
                        continue;
                    if (atOrBelow(linkTarget(base + "/fd/" + entry->d_name), path)) {
                        busy = true;
                        break;
                    }
                }
                ::closedir(fds);
            }
        }
        if (busy) {
            ProcessInfo info;
            info.pid = pid;
            info.executable = linkTarget(base + "/exe");
            info.name = info.executable.substr(info.executable.find_last_of('/') + 1);
            return info;
        }
    }
    return std::nullopt;
}

}
