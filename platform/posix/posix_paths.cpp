#include "platform/posix/posix_paths.h"

#include "common/errors.h"
#include "platform/posix/posix_files.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace ferrolatch {

namespace {

std::string parent(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}

PosixPaths::PosixPaths(std::string bundle, std::string sysroot, std::string home)
    : m_bundle(std::move(bundle)), m_sysroot(std::move(sysroot)), m_home(std::move(home))
{
}

std::string PosixPaths::bundleOfExecutable(const std::string& executablePath)
{
    std::string macOS = parent(executablePath);
    std::string contents = parent(macOS);
    if (macOS.size() < 6 || macOS.substr(macOS.size() - 6) != "/MacOS" || contents.size() < 9 ||
        contents.substr(contents.size() - 9) != "/Contents")
        return {};
    return parent(contents);
}

std::optional<std::string> PosixPaths::bundleResource(std::string_view name, std::string_view type)
{
    if (m_bundle.empty())
        return std::nullopt;
    std::string path = m_bundle + "/Contents/Resources/" + std::string(name) + "." + std::string(type);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return path;
}

std::string PosixPaths::applicationSupportDirectory()
{
    if (m_home.empty())
        throw PlatformError::fromErrno(ENOENT, "no home directory for Application Support");
    std::string directory = m_home + "/Library/Application Support";
    PosixFiles().createDirectoryWithDefaultMode(directory);
    return directory;
}

std::optional<std::string> PosixPaths::groupContainer(std::string_view groupIdentifier)
{
    if (m_home.empty() || groupIdentifier.empty() || groupIdentifier.find('/') != std::string_view::npos)
        return std::nullopt;
    std::string container = m_home + "/Library/Group Containers/" + std::string(groupIdentifier);
    try {
        PosixFiles().createDirectory(container, 0700);
    } catch (const PlatformError&) {
        return std::nullopt;
    }
    return container;
}

std::string PosixPaths::temporaryDirectory()
{
    const char* configured = std::getenv("TMPDIR");
    std::string directory = configured && *configured ? configured : "/tmp";
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

}
