#pragma once

// Helpers shared by the virtual Mac's own end-to-end tests.
#include "macsim/plist_out.h"
#include "platform/posix/linux_file_flags.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace macsim::testing {

using ferrolatch::e2e::RunResult;
using ferrolatch::e2e::VirtualMac;

inline const std::string diskutil = "/usr/sbin/diskutil";
inline const std::string hdiutil = "/usr/bin/hdiutil";

inline std::string describe(const RunResult& result)
{
    return "status " + std::to_string(result.status) + ", stderr: " + result.err;
}

inline Plist plistOf(const RunResult& result)
{
    if (result.status != 0)
        throw std::runtime_error("tool failed: " + describe(result));
    auto parsed = parsePlist(result.out);
    if (!parsed)
        throw std::runtime_error("not a property list: " + result.out);
    return *parsed;
}

inline Plist info(const VirtualMac& mac, const std::string& target)
{
    return plistOf(mac.tool(diskutil, {"info", "-plist", target}));
}

inline std::string text(const Plist& dictionary, const std::string& key)
{
    const std::string* value = asString(child(dictionary, key));
    if (!value)
        throw std::runtime_error("no string " + key);
    return *value;
}

inline bool flag(const Plist& dictionary, const std::string& key)
{
    const bool* value = asBool(child(dictionary, key));
    if (!value)
        throw std::runtime_error("no boolean " + key);
    return *value;
}

inline std::uint64_t integer(const Plist& dictionary, const std::string& key)
{
    const std::uint64_t* value = asInteger(child(dictionary, key));
    if (!value)
        throw std::runtime_error("no integer " + key);
    return *value;
}

inline const Plist::Array& array(const Plist& dictionary, const std::string& key)
{
    const Plist::Array* value = asArray(child(dictionary, key));
    if (!value)
        throw std::runtime_error("no array " + key);
    return *value;
}

inline bool isCanonicalUUID(const std::string& uuid)
{
    static const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    return std::regex_match(uuid, form);
}

inline nlohmann::json state(const VirtualMac& mac)
{
    return nlohmann::json::parse(mac.macsimOrThrow({"state"}));
}

inline nlohmann::json volumeNamed(const VirtualMac& mac, const std::string& device)
{
    nlohmann::json machine = state(mac);
    for (const auto& volume : machine["volumes"]) {
        if (volume["device"] == device)
            return volume;
    }
    throw std::runtime_error("no volume " + device);
}

inline std::vector<nlohmann::json> auditLines(const VirtualMac& mac)
{
    std::vector<nlohmann::json> lines;
    std::istringstream stream(mac.macsimOrThrow({"audit"}));
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// A USB disk erased the way drive set-up erases it: disk4 with container disk5
// and the FERROLATCH volume mounted.
inline void eraseFixtureDisk(const VirtualMac& mac, const std::string& name = "FERROLATCH")
{
    std::string disk = mac.macsimOrThrow({"disk", "add", "--media", "Ferrolatch fixture", "--size", "256m", "--bus", "USB"});
    disk.pop_back();
    RunResult erased = mac.tool(diskutil, {"eraseDisk", "APFS", name, "GPT", "/dev/" + disk});
    if (erased.status != 0)
        throw std::runtime_error("eraseDisk failed: " + describe(erased));
}

inline RunResult addEncryptedVolume(const VirtualMac& mac, const std::string& container, const std::string& name,
    const std::string& password)
{
    std::string input = password + "\n";
    return mac.tool(diskutil,
        {"apfs", "addVolume", container, "APFS", name, "-stdinpassphrase", "-passphraseHint",
            "Ferrolatch passkey or recovery password"},
        &input);
}

inline RunResult unlock(const VirtualMac& mac, const std::string& device, const std::string& password)
{
    std::string input = password + "\n";
    return mac.tool(diskutil, {"apfs", "unlockVolume", device, "-stdinpassphrase"}, &input);
}

inline void writeFile(const std::string& path, const std::string& contents, mode_t mode = 0644)
{
    {
        std::ofstream stream(path, std::ios::binary | std::ios::trunc);
        stream << contents;
    }
    ::chmod(path.c_str(), mode);
}

// Like chflags on a read-only file: the attribute that carries the flags can
// only be set while the owner may write, so write access is lent for it.
inline void setEmulatedFlags(const std::string& path, const std::string& value)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        throw std::runtime_error("cannot stat " + path);
    mode_t mode = info.st_mode & 07777;
    bool lent = !(mode & S_IWUSR) && ::chmod(path.c_str(), mode | S_IWUSR) == 0;
    int result = ::lsetxattr(path.c_str(), ferrolatch::emulated::fileFlagsAttribute, value.data(), value.size(), 0);
    if (lent)
        ::chmod(path.c_str(), mode);
    if (result != 0)
        throw std::runtime_error("cannot set flags on " + path);
}

inline bool exists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Everything about a tree that a volume must keep: types, modes, contents,
// link targets and the emulated flags.
inline std::map<std::string, std::string> snapshot(const std::string& root, const std::string& relative = "")
{
    std::map<std::string, std::string> entries;
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        throw std::runtime_error("cannot stat " + path);
    std::string description = "mode " + std::to_string(info.st_mode & 07777);
    char flags[32] = {};
    ssize_t length = ::lgetxattr(path.c_str(), ferrolatch::emulated::fileFlagsAttribute, flags, sizeof flags - 1);
    if (length > 0)
        description += " flags " + std::string(flags, static_cast<std::size_t>(length));
    if (S_ISDIR(info.st_mode)) {
        entries[relative] = "dir " + description;
        DIR* directory = ::opendir(path.c_str());
        while (dirent* entry = ::readdir(directory)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            auto below = snapshot(root, relative.empty() ? name : relative + "/" + name);
            entries.insert(below.begin(), below.end());
        }
        ::closedir(directory);
    } else if (S_ISLNK(info.st_mode)) {
        char target[4096] = {};
        ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
        entries[relative] = "link " + std::string(target, static_cast<std::size_t>(size));
    } else {
        entries[relative] = "file " + description + " " + ferrolatch::e2e::readTextFile(path);
    }
    return entries;
}

}
