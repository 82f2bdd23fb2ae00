#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace macsim {

// Plain file-system helpers for the stand-ins. Failures are ToolErrors
// carrying "PATH: <strerror>", which callers reword as their tool would.
using ExtendedAttributes = std::vector<std::pair<std::string, std::string>>;

// Closes its descriptor when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

void writeAll(int fd, const void* data, std::size_t size, const std::string& path);
std::vector<std::string> directoryEntries(const std::string& path); // without "." and "..", unsorted

bool pathExists(const std::string& path); // links not followed
bool isDirectory(const std::string& path);
std::string readFile(const std::string& path);
void writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, unsigned mode = 0644);
void writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode = 0644);
// The whole file into buffer, which it must fill exactly: for keys, which
// must not pass through a std::string.
void readFileExactly(const std::string& path, std::span<std::uint8_t> buffer);
void appendLine(const std::string& path, const std::string& line); // one write, O_APPEND
void makeDirectories(const std::string& path, unsigned mode = 0755);
// Removes a tree even where directory modes would stop a plain removal.
void removeTree(const std::string& path);
std::string canonicalPath(const std::string& path); // realpath; empty when it does not resolve

// Every extended attribute of the user namespace, which is where the emulated
// BSD flags live; read and written without following links.
ExtendedAttributes readExtendedAttributes(const std::string& path);
void writeExtendedAttributes(const std::string& path, const ExtendedAttributes& attributes);
std::uint32_t emulatedFlags(const std::string& path); // 0 when unset
inline constexpr std::uint32_t immutableFlag = 0x0002;

// ditto's copy: SOURCE's tree into DESTINATION (created if needed), keeping
// modes, times, symbolic links and extended attributes. Refuses to overwrite
// a file flagged immutable, as the kernel would.
void copyTree(const std::string& source, const std::string& destination);

std::string errnoText(const std::string& path, int number);

}
