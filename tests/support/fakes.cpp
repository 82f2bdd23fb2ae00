#include "tests/support/fakes.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace ferrolatch::testing {

ToolOutcome FakeToolRunner::launch(const std::string& executable, const std::vector<std::string>& arguments,
                                   const SecretBytes* standardInput)
{
    std::optional<std::string> input;
    if (standardInput)
        input = std::string(standardInput->bytes().begin(), standardInput->bytes().end());
    calls.push_back({executable, arguments, input});
    auto found = m_answers.find(arguments);
    if (found == m_answers.end())
        return {1, "", "Could not find disk: " + (arguments.empty() ? std::string() : arguments.back()) + "\n"};
    return found->second;
}

void MemoryFiles::put(const std::string& path, std::string contents, std::uint32_t mode, std::uint32_t flags)
{
    entries[path] = {FileAttributes::Type::Regular, std::move(contents), mode, flags};
}

void MemoryFiles::check(const std::string& operation, const std::string& path, bool writes)
{
    if (auto failure = m_failures.find(operation); failure != m_failures.end() && --failure->second <= 0)
        throw PlatformError::fromErrno(EIO, operation + " " + path);
    for (const std::string& directory : m_unreadable)
        if (path.rfind(directory + "/", 0) == 0)
            throw PlatformError::fromErrno(EACCES, "could not read attributes of " + path);
    if (writes) {
        for (const std::string& directory : m_readOnly)
            if (path.rfind(directory + "/", 0) == 0 || path == directory)
                throw PlatformError::fromErrno(EROFS, operation + " " + path);
    }
}

MemoryFiles::Entry& MemoryFiles::existing(const std::string& path)
{
    auto found = entries.find(path);
    if (found == entries.end())
        throw PlatformError::fromErrno(ENOENT, path);
    return found->second;
}

bool MemoryFiles::exists(const std::string& path)
{
    check("exists", path, false);
    return entries.count(path) != 0;
}

std::optional<FileAttributes> MemoryFiles::attributes(const std::string& path)
{
    auto found = entries.find(path);
    if (found == entries.end())
        return std::nullopt;
    return FileAttributes {found->second.type, found->second.contents.size(), found->second.mode, found->second.flags};
}

bool MemoryFiles::isWritable(const std::string& path)
{
    try {
        check("isWritable", path, true);
    } catch (const PlatformError&) {
        return false;
    }
    return exists(path);
}

std::string MemoryFiles::readFile(const std::string& path)
{
    check("readFile", path, false);
    Entry& entry = existing(path);
    if (entry.type != FileAttributes::Type::Regular)
        throw PlatformError::fromErrno(EISDIR, path);
    return entry.contents;
}

void MemoryFiles::writeFileAtomically(const std::string& path, const std::string& bytes)
{
    check("writeFileAtomically", path, true);
    operations.push_back("write " + path);
    if (auto found = entries.find(path); found != entries.end() && (found->second.flags & 0x2))
        throw PlatformError::fromErrno(EPERM, path);
    put(path, bytes);
    ++mutations;
}

void MemoryFiles::removeFile(const std::string& path)
{
    check("removeFile", path, true);
    operations.push_back("remove " + path);
    if (existing(path).flags & 0x2)
        throw PlatformError::fromErrno(EPERM, path);
    entries.erase(path);
    ++mutations;
}

void MemoryFiles::createDirectory(const std::string& path, std::uint32_t mode)
{
    check("createDirectory", path, true);
    operations.push_back("mkdir " + path);
    if (auto found = entries.find(path); found != entries.end()) {
        if (found->second.type != FileAttributes::Type::Directory)
            throw PlatformError::fromErrno(EEXIST, path);
        return;
    }
    entries[path] = {FileAttributes::Type::Directory, "", mode, 0};
    ++mutations;
}

std::vector<std::string> MemoryFiles::listDirectory(const std::string& path)
{
    check("listDirectory", path, false);
    if (existing(path).type != FileAttributes::Type::Directory)
        throw PlatformError::fromErrno(ENOTDIR, path);
    std::vector<std::string> names;
    for (const auto& [entryPath, entry] : entries) {
        if (entryPath.size() > path.size() + 1 && entryPath.rfind(path + "/", 0) == 0 &&
            entryPath.find('/', path.size() + 1) == std::string::npos)
            names.push_back(entryPath.substr(path.size() + 1));
    }
    return names;
}

void MemoryFiles::setMode(const std::string& path, std::uint32_t mode)
{
    check("setMode", path, true);
    operations.push_back("setMode " + path + " " + std::to_string(mode));
    Entry& entry = existing(path);
    if (entry.flags & 0x2)
        throw PlatformError::fromErrno(EPERM, path);
    entry.mode = mode;
    ++mutations;
}

void MemoryFiles::setFlags(const std::string& path, std::uint32_t flags)
{
    check("setFlags", path, true);
    operations.push_back("setFlags " + path + " " + std::to_string(flags));
    existing(path).flags |= flags;
    ++mutations;
}

void MemoryFiles::clearFlags(const std::string& path, std::uint32_t flags)
{
    check("clearFlags", path, true);
    operations.push_back("clearFlags " + path + " " + std::to_string(flags));
    existing(path).flags &= ~flags;
    ++mutations;
}

std::string fixture(const std::string& name)
{
    std::ifstream stream(std::string(FERROLATCH_TEST_FIXTURES) + "/" + name, std::ios::binary);
    if (!stream)
        throw std::runtime_error("missing fixture " + name);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

}
