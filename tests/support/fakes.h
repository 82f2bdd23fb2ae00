#pragma once

#include "common/errors.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"
#include "platform/workspace.h"

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ferrolatch::testing {

// Answers tool runs from a script and remembers every call, stdin included.
class FakeToolRunner final : public ToolRunner {
public:
    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
        std::optional<std::string> standardInput;
    };

    // The outcome for an exact argument vector; unscripted calls fail like a missing disk.
    void answer(std::vector<std::string> arguments, ToolOutcome outcome) { m_answers[std::move(arguments)] = outcome; }
    void answer(std::vector<std::string> arguments, std::string standardOutput)
    {
        answer(std::move(arguments), ToolOutcome {0, std::move(standardOutput), ""});
    }

    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override;

    std::vector<Call> calls;

private:
    std::map<std::vector<std::string>, ToolOutcome> m_answers;
};

// An in-memory file system that behaves like the Mac's where it matters: the
// immutable flag refuses changes, a read-only volume refuses writes.
class MemoryFiles final : public Files {
public:
    struct Entry {
        FileAttributes::Type type = FileAttributes::Type::Regular;
        std::string contents;
        std::uint32_t mode = 0644;
        std::uint32_t flags = 0;
    };

    void put(const std::string& path, std::string contents, std::uint32_t mode = 0644, std::uint32_t flags = 0);
    void putDirectory(const std::string& path) { entries[path] = {FileAttributes::Type::Directory, "", 0755, 0}; }
    void putLink(const std::string& path) { entries[path] = {FileAttributes::Type::SymbolicLink, "", 0777, 0}; }
    // Everything under this directory refuses writes with EROFS.
    void makeReadOnly(const std::string& directory) { m_readOnly.insert(directory); }
    // Nothing under this directory can be looked at: EACCES, as for a volume the user may not read.
    void makeUnreadable(const std::string& directory) { m_unreadable.insert(directory); }
    // The named operation ("exists", "setMode", "setFlags" …) fails with EIO from the nth call on.
    void failOperation(const std::string& operation, int nth = 1) { m_failures[operation] = nth; }

    bool exists(const std::string& path) override;
    std::optional<FileAttributes> attributes(const std::string& path) override;
    bool isWritable(const std::string& path) override;
    std::string readFile(const std::string& path) override;
    void writeFileAtomically(const std::string& path, const std::string& bytes) override;
    void removeFile(const std::string& path) override;
    void createDirectory(const std::string& path, std::uint32_t mode) override;
    std::vector<std::string> listDirectory(const std::string& path) override;
    void setMode(const std::string& path, std::uint32_t mode) override;
    void setFlags(const std::string& path, std::uint32_t flags) override;
    void clearFlags(const std::string& path, std::uint32_t flags) override;

    std::map<std::string, Entry> entries;
    std::vector<std::string> operations; // "setFlags /v/f 32768", in call order
    int mutations = 0;                   // successful changes of any kind

private:
    void check(const std::string& operation, const std::string& path, bool writes);
    Entry& existing(const std::string& path);

    std::set<std::string> m_readOnly;
    std::set<std::string> m_unreadable;
    std::map<std::string, int> m_failures;
};

class RecordingLog final : public Log {
public:
    void write(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

class FakePaths final : public Paths {
public:
    std::string mainBundle() override { return "/Applications/Ferrolatch.app"; }
    std::optional<std::string> bundleResource(std::string_view name, std::string_view type) override
    {
        if (!hasIcon || name != "FerrolatchVolumeIconMetal" || type != "icns")
            return std::nullopt;
        return mainBundle() + "/Contents/Resources/FerrolatchVolumeIconMetal.icns";
    }
    std::string applicationSupportDirectory() override { return "/Users/a/Library/Application Support"; }
    std::string systemFile(std::string_view path) override { return std::string(path); }
    bool hasIcon = true;
};

class FakeWorkspace final : public Workspace {
public:
    std::optional<WorkspaceImage> loadImage(const std::string& path) override
    {
        loaded.push_back(path);
        if (loadThrows)
            throw PlatformError::fromErrno(EIO, "read " + path);
        if (!imageLoads)
            return std::nullopt;
        return WorkspaceImage {"icns-bytes"};
    }
    bool setIcon(const WorkspaceImage& image, const std::string& path) override
    {
        iconsSet.push_back(path + " <- " + image.bytes);
        if (setThrows)
            throw PlatformError::fromErrno(EIO, "set icon " + path);
        return setIconSucceeds;
    }
    bool openURL(const std::string& url) override
    {
        openedURLs.push_back(url);
        return true;
    }
    bool imageLoads = true;
    bool loadThrows = false;
    bool setIconSucceeds = true;
    bool setThrows = false;
    std::vector<std::string> loaded;
    std::vector<std::string> iconsSet;
    std::vector<std::string> openedURLs;
};

// The text of a fixture file under tests/fixtures.
std::string fixture(const std::string& name);

}
