#pragma once

#include "common/constants.h"
#include "common/errors.h"
#include "crypto/drive_registry.h"
#include "crypto/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace ferrolatch::testing {

// The manifest of an enrolled data volume, with placeholder key material.
inline Manifest enrolledVolumeManifest(const std::string& uuid, const std::string& name,
                                       std::string kind = "native-apfs-volume")
{
    Manifest manifest;
    manifest.version = protocolVersion;
    manifest.relyingPartyID = std::string(relyingPartyDomain);
    manifest.credentialID = "Y3JlZA";
    manifest.prfSalt = "c2FsdA";
    manifest.wrappedPassword = "d3JhcA";
    manifest.createdAt = "2026-01-01T00:00:00Z";
    manifest.resourceKind = std::move(kind);
    manifest.volumeUUID = uuid;
    manifest.volumeName = name;
    return manifest;
}

// A small in-memory file system: directories must exist before files go in
// them, modes are remembered, and any operation can be made to fail.
class RegistryFiles final : public Files {
public:
    struct Entry {
        bool directory = false;
        std::string contents;
        std::uint32_t mode = 0644;
        std::uint32_t flags = 0;
    };

    void putDirectory(const std::string& path, std::uint32_t mode = 0755) { entries[path] = {true, "", mode, 0}; }
    void put(const std::string& path, std::string contents, std::uint32_t flags = 0)
    {
        entries[path] = {false, std::move(contents), 0644, flags};
    }
    // The named operation ("createDirectory", "writeFileAtomically", "setMode", "listDirectory", "readFile") fails with EIO.
    void fail(const std::string& operation) { m_failing.insert(operation); }
    // Reading this one path's attributes fails with EIO; the rest still answer.
    void failAttributesOf(const std::string& path) { m_unreadableAttributes.insert(path); }

    bool exists(const std::string& path) override { return entries.contains(path); }
    std::optional<FileAttributes> attributes(const std::string& path) override
    {
        if (m_unreadableAttributes.contains(path))
            throw PlatformError::fromErrno(EIO, "lstat " + path);
        auto found = entries.find(path);
        if (found == entries.end())
            return std::nullopt;
        FileAttributes attributes;
        attributes.type = found->second.directory ? FileAttributes::Type::Directory : FileAttributes::Type::Regular;
        attributes.size = found->second.contents.size();
        attributes.mode = found->second.mode;
        attributes.flags = found->second.flags;
        return attributes;
    }
    bool isWritable(const std::string&) override { return true; }
    std::string readFile(const std::string& path) override
    {
        check("readFile", path);
        Entry& entry = existing(path);
        if (entry.directory)
            throw PlatformError::fromErrno(EISDIR, "read " + path);
        return entry.contents;
    }
    void writeFileAtomically(const std::string& path, const std::string& bytes) override
    {
        check("writeFileAtomically", path);
        if (!isDirectory(parentOf(path)))
            throw PlatformError::fromErrno(ENOENT, "write " + path);
        entries[path] = {false, bytes, 0644, 0};
        ++mutations;
    }
    void removeFile(const std::string& path) override
    {
        existing(path);
        entries.erase(path);
        ++mutations;
    }
    void createDirectory(const std::string& path, std::uint32_t mode) override
    {
        check("createDirectory", path);
        std::size_t slash = 0;
        while (slash != std::string::npos) {
            slash = path.find('/', slash + 1);
            std::string prefix = path.substr(0, slash);
            auto found = entries.find(prefix);
            if (found == entries.end()) {
                entries[prefix] = {true, "", mode, 0};
                created.push_back(prefix);
                ++mutations;
            } else if (!found->second.directory) {
                throw PlatformError::fromErrno(ENOTDIR, "mkdir " + path);
            }
        }
    }
    std::vector<std::string> listDirectory(const std::string& path) override
    {
        check("listDirectory", path);
        if (!isDirectory(path))
            throw PlatformError::fromErrno(ENOENT, "list " + path);
        std::vector<std::string> names;
        for (const auto& [entryPath, entry] : entries)
            if (parentOf(entryPath) == path)
                names.push_back(entryPath.substr(path.size() + 1));
        return names;
    }
    void setMode(const std::string& path, std::uint32_t mode) override
    {
        check("setMode", path);
        existing(path).mode = mode;
        ++mutations;
    }
    void setFlags(const std::string&, std::uint32_t) override { throw std::logic_error("not used by the registry"); }
    void clearFlags(const std::string&, std::uint32_t) override { throw std::logic_error("not used by the registry"); }

    std::map<std::string, Entry> entries;
    std::vector<std::string> created; // directories, in creation order
    int mutations = 0;

private:
    static std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
    bool isDirectory(const std::string& path) const
    {
        auto found = entries.find(path);
        return found != entries.end() && found->second.directory;
    }
    void check(const std::string& operation, const std::string& path)
    {
        if (m_failing.contains(operation))
            throw PlatformError::fromErrno(EIO, operation + " " + path);
    }
    Entry& existing(const std::string& path)
    {
        auto found = entries.find(path);
        if (found == entries.end())
            throw PlatformError::fromErrno(ENOENT, "open " + path);
        return found->second;
    }

    std::set<std::string> m_failing;
    std::set<std::string> m_unreadableAttributes;
};

class RegistryPaths final : public Paths {
public:
    std::string mainBundle() override { return "/Applications/Ferrolatch.app"; }
    std::optional<std::string> bundleResource(std::string_view, std::string_view) override { return std::nullopt; }
    std::string applicationSupportDirectory() override
    {
        if (!applicationSupport)
            throw PlatformError("NSCocoaErrorDomain", 4, "The file \u201cApplication Support\u201d doesn\u2019t exist.");
        return *applicationSupport;
    }
    std::string systemFile(std::string_view path) override { return systemRoot + std::string(path); }

    std::optional<std::string> applicationSupport = "/Users/casey/Library/Application Support";
    std::string systemRoot; // where this Mac keeps "/System/..."
};

class RecordingSuppression final : public VolumePromptSuppression {
public:
    bool install(std::string_view volumeUUID) override
    {
        installed.emplace_back(volumeUUID);
        if (installFailure)
            throw ProofError(*installFailure);
        return changes;
    }
    void dismissStaleAgent() override
    {
        ++dismissals;
        if (dismissFailure)
            throw ProofError(*dismissFailure);
    }

    bool changes = true;
    std::optional<std::string> installFailure;
    std::optional<std::string> dismissFailure;
    std::vector<std::string> installed;
    int dismissals = 0;
};

}
