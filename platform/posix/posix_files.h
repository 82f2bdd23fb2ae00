#pragma once

#include "platform/files.h"
#include "platform/posix/atomic_write.h"

namespace ferrolatch {

// The file system over POSIX calls. Linux has no BSD file flags, so they live
// in an extended attribute, and the adapter enforces what the Mac's kernel
// enforces for a user-immutable file: it cannot be written over, removed or
// have its mode changed (EPERM) until the flag is cleared. readFile reads
// regular files only: a FIFO, socket or device fails at once (EINVAL).
class PosixFiles final : public Files {
public:
    bool exists(const std::string& path) override;
    std::optional<FileAttributes> attributes(const std::string& path) override;
    bool isWritable(const std::string& path) override;
    std::string readFile(const std::string& path) override;
    std::string readFileAtMost(const std::string& path, std::size_t limit) override;
    void writeFileAtomically(const std::string& path, const std::string& bytes) override;
    void writeNewFileAtomically(const std::string& path, const std::string& bytes) override;
    void removeFile(const std::string& path) override;
    void createDirectory(const std::string& path, std::uint32_t mode) override;
    void createDirectoryWithDefaultMode(const std::string& path) override;
    std::optional<std::string> resolvedPath(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& path) override;
    void setMode(const std::string& path, std::uint32_t mode) override;
    void setFlags(const std::string& path, std::uint32_t flags) override;
    void clearFlags(const std::string& path, std::uint32_t flags) override;
    std::optional<FileAttributes> attributesFollowingLinks(const std::string& path) override;
    std::unique_ptr<FileReader> openForReading(const std::string& path) override;
    std::optional<std::uint64_t> freeSpace(const std::string& path) override;

private:
    static void writeFile(const std::string& path, const std::string& bytes, Placement placement);
};

}
