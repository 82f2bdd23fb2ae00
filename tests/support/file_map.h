#pragma once

#include "common/errors.h"
#include "platform/files.h"

#include <cerrno>
#include <map>

namespace ferrolatch::testing {

// Files held in a plain map of path to contents: enough for the logic that
// reads and writes whole files. MemoryFiles (fakes.h) models attributes and flags.
class FileMap final : public Files {
public:
    std::map<std::string, std::string> files;
    int atomicWrites = 0;

    bool exists(const std::string& path) override { return files.count(path) != 0; }
    std::optional<FileAttributes> attributes(const std::string& path) override
    {
        auto found = files.find(path);
        if (found == files.end())
            return std::nullopt;
        FileAttributes attributes;
        attributes.type = FileAttributes::Type::Regular;
        attributes.size = found->second.size();
        attributes.mode = 0644;
        return attributes;
    }
    bool isWritable(const std::string&) override { return true; }
    std::string readFile(const std::string& path) override
    {
        auto found = files.find(path);
        if (found == files.end())
            throw PlatformError::fromErrno(ENOENT, "could not read " + path);
        return found->second;
    }
    void writeFileAtomically(const std::string& path, const std::string& bytes) override
    {
        ++atomicWrites;
        files[path] = bytes;
    }
    void removeFile(const std::string& path) override { files.erase(path); }
    void createDirectory(const std::string&, std::uint32_t) override {}
    std::vector<std::string> listDirectory(const std::string&) override { return {}; }
    void setMode(const std::string&, std::uint32_t) override {}
    void setFlags(const std::string&, std::uint32_t) override {}
    void clearFlags(const std::string&, std::uint32_t) override {}
};

}
