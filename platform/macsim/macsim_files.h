#pragma once

#include "platform/files.h"

#include <string>

namespace ferrolatch {

// The file system of the virtual Mac: the host's, except that a mounted
// virtual volume (a folder under $SYSROOT/Volumes) reports the free space of
// its APFS container as the machine's state describes it: the store's size
// less what every volume of the container holds, or the figure `macsim volume
// set VOLUME FreeSpace BYTES` gave it. The host's own free space would say
// nothing about the virtual drive.
class MacsimFiles final : public Files {
public:
    // An empty sysroot: the host's file system throughout.
    MacsimFiles(Files& host, const std::string& sysroot);

    bool exists(const std::string& path) override { return m_host.exists(path); }
    std::optional<FileAttributes> attributes(const std::string& path) override { return m_host.attributes(path); }
    bool isWritable(const std::string& path) override { return m_host.isWritable(path); }
    std::string readFile(const std::string& path) override { return m_host.readFile(path); }
    void writeFileAtomically(const std::string& path, const std::string& bytes) override
    {
        m_host.writeFileAtomically(path, bytes);
    }
    void writeNewFileAtomically(const std::string& path, const std::string& bytes) override
    {
        m_host.writeNewFileAtomically(path, bytes);
    }
    void removeFile(const std::string& path) override { m_host.removeFile(path); }
    std::string readFileAtMost(const std::string& path, std::size_t limit) override
    {
        return m_host.readFileAtMost(path, limit);
    }
    void createDirectory(const std::string& path, std::uint32_t mode) override { m_host.createDirectory(path, mode); }
    void createDirectoryWithDefaultMode(const std::string& path) override { m_host.createDirectoryWithDefaultMode(path); }
    std::optional<std::string> resolvedPath(const std::string& path) override { return m_host.resolvedPath(path); }
    std::vector<std::string> listDirectory(const std::string& path) override { return m_host.listDirectory(path); }
    void setMode(const std::string& path, std::uint32_t mode) override { m_host.setMode(path, mode); }
    void setFlags(const std::string& path, std::uint32_t flags) override { m_host.setFlags(path, flags); }
    void clearFlags(const std::string& path, std::uint32_t flags) override { m_host.clearFlags(path, flags); }
    std::optional<FileAttributes> attributesFollowingLinks(const std::string& path) override
    {
        return m_host.attributesFollowingLinks(path);
    }
    std::unique_ptr<FileReader> openForReading(const std::string& path) override
    {
        return m_host.openForReading(path);
    }
    std::optional<std::uint64_t> freeSpace(const std::string& path) override;


private:
    Files& m_host;
    std::string m_sysroot;
};

}
