#pragma once

#include "common/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ferrolatch {

// BSD file flags the program sets on files that protect a drive.
enum class FileFlag : std::uint32_t {
    Hidden = 0x8000,       // UF_HIDDEN
    UserImmutable = 0x0002 // UF_IMMUTABLE
};

struct FileAttributes {
    enum class Type { Regular, Directory, SymbolicLink, Other } type = Type::Other;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;  // permission bits
    std::uint32_t flags = 0; // FileFlag bits
};

// An open regular file, read front to back into the caller's buffer, so a
// large file streams through one buffer instead of being held whole.
class FileReader {
public:
    virtual ~FileReader() = default;
    // Fills up to buffer.size() bytes and returns how many; 0 at the end.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
};

// The file system. Every failure is a PlatformError carrying the platform's
// description (errno-based on POSIX). Paths are absolute.
class Files {
public:
    virtual ~Files() = default;

    virtual bool exists(const std::string& path) = 0; // anything at the path, links not followed
    virtual std::optional<FileAttributes> attributes(const std::string& path) = 0; // nothing there: empty
    // Whether this process may write at the path (a read-only volume answers false).
    virtual bool isWritable(const std::string& path) = 0;
    virtual std::string readFile(const std::string& path) = 0;
    // At most limit + 1 bytes of the file, so that a caller can tell "too
    // large" without reading a huge (or sparse) file whole. The default suits
    // fakes; adapters stop reading at the bound.
    virtual std::string readFileAtMost(const std::string& path, std::size_t limit)
    {
        std::string bytes = readFile(path);
        if (bytes.size() > limit)
            bytes.resize(limit + 1);
        return bytes;
    }
    // Writes a temporary file beside the target, flushes it, then renames it over
    // the target, so readers see the old bytes or the new, never a mixture.
    virtual void writeFileAtomically(const std::string& path, const std::string& bytes) = 0;
    // The same, but only where nothing is at the path yet: fails with EEXIST
    // instead of replacing, with no moment in which a file that appeared
    // meanwhile could be lost. The default suits fakes; adapters do it in one step.
    virtual void writeNewFileAtomically(const std::string& path, const std::string& bytes)
    {
        if (exists(path))
            throw PlatformError::fromErrno(EEXIST, "could not write " + path);
        writeFileAtomically(path, bytes);
    }
    virtual void removeFile(const std::string& path) = 0;
    virtual void createDirectory(const std::string& path, std::uint32_t mode) = 0; // parents too; existing is fine
    // Parents too, each new one with the process's default mode (0777 under
    // the umask), as on a Mac; existing is fine. The default suits fakes.
    virtual void createDirectoryWithDefaultMode(const std::string& path) { createDirectory(path, 0755); }
    // The path with every symbolic link resolved; empty when nothing is there.
    // The default suits fakes that have no links.
    virtual std::optional<std::string> resolvedPath(const std::string& path)
    {
        return exists(path) ? std::optional<std::string>(path) : std::nullopt;
    }
    // The names in a directory, in listing order, without "." and "..";
    // nothing below it is visited.
    virtual std::vector<std::string> listDirectory(const std::string& path) = 0;
    virtual void setMode(const std::string& path, std::uint32_t mode) = 0;
    // Adds or clears the given FileFlag bits, leaving the others as they are.
    virtual void setFlags(const std::string& path, std::uint32_t flags) = 0;
    virtual void clearFlags(const std::string& path, std::uint32_t flags) = 0;

    // As attributes(), but a symbolic link at the path is followed to what it
    // names. The default suits fakes, which keep no link targets.
    virtual std::optional<FileAttributes> attributesFollowingLinks(const std::string& path) { return attributes(path); }
    // Opens a regular file for streaming. The default reads it whole, which
    // suits fakes; adapters read from the file as the caller asks.
    virtual std::unique_ptr<FileReader> openForReading(const std::string& path);
    // The free space in bytes of the volume holding the path; empty when the
    // file system does not report it. Fails with the platform's error.
    virtual std::optional<std::uint64_t> freeSpace(const std::string& path)
    {
        throw PlatformError::fromErrno(ENOTSUP, "could not read the free space of " + path);
    }
};

namespace detail {
class BufferedFileReader final : public FileReader {
public:
    explicit BufferedFileReader(std::string bytes) : m_bytes(std::move(bytes)) {}
    std::size_t read(std::span<std::uint8_t> buffer) override
    {
        std::size_t count = std::min(buffer.size(), m_bytes.size() - m_offset);
        if (count > 0)
            std::memcpy(buffer.data(), m_bytes.data() + m_offset, count);
        m_offset += count;
        return count;
    }

private:
    std::string m_bytes;
    std::size_t m_offset = 0;
};
}

inline std::unique_ptr<FileReader> Files::openForReading(const std::string& path)
{
    return std::make_unique<detail::BufferedFileReader>(readFile(path));
}

}
