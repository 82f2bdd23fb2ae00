#pragma once

#include "common/errors.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
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
};

}
