#include "disk/volume_files.h"

#include "common/constants.h"

#include <exception>

namespace ferrolatch {

namespace {

constexpr std::uint32_t hiddenFlag = static_cast<std::uint32_t>(FileFlag::Hidden);
constexpr std::uint32_t immutableFlag = static_cast<std::uint32_t>(FileFlag::UserImmutable);

bool holdsCorrectMarker(Files& files, const std::string& marker)
{
    try {
        // Only a regular file counts: a link named like the marker is replaced, not trusted.
        auto attributes = files.attributes(marker);
        if (!attributes || attributes->type != FileAttributes::Type::Regular)
            return false;
        return files.readFile(marker) == proofMarkerText;
    } catch (const std::exception&) {
        return false;
    }
}

void replaceMarker(Files& files, Log& log, const std::string& root, const std::string& marker,
                   const std::string& legacy)
{
    if (auto existing = files.attributes(marker)) {
        log.write(formatLogLine("Ferrolatch is rewriting the proof marker on %@", {root}));
        // Flags and mode of a link would land on whatever it points to; a link is only removed.
        if (existing->type != FileAttributes::Type::SymbolicLink) {
            files.clearFlags(marker, immutableFlag);
            files.setMode(marker, 0644);
        }
        files.removeFile(marker);
    }
    files.writeFileAtomically(marker, std::string(proofMarkerText));
    protectHiddenFile(files, marker);
    if (files.exists(legacy))
        files.removeFile(legacy);
}

}

void protectHiddenFile(Files& files, const std::string& path)
{
    files.setFlags(path, hiddenFlag);
    files.setMode(path, 0444);
    files.setFlags(path, immutableFlag);
}

void ensureProofMarker(Files& files, Log& log, const std::string& volumeRoot)
{
    std::string marker = volumeRoot + "/" + std::string(proofMarkerName);
    std::string legacy = volumeRoot + "/" + std::string(legacyProofMarkerName);
    try {
        if (holdsCorrectMarker(files, marker) && !files.exists(legacy))
            return;
        replaceMarker(files, log, volumeRoot, marker, legacy);
    } catch (const std::exception& failure) {
        log.write(formatLogLine("Ferrolatch could not restore the hidden proof marker on %@: %@",
                                {volumeRoot, failure.what()}));
    }
}

void setVolumeIcon(Files& files, Paths& paths, Workspace& workspace, Log& log, const std::string& mountPoint)
{
    std::optional<WorkspaceImage> image;
    try {
        if (files.exists(mountPoint + "/.VolumeIcon.icns"))
            return;
        if (files.isWritable(mountPoint)) {
            if (auto resource = paths.bundleResource("FerrolatchVolumeIconMetal", "icns"))
                image = workspace.loadImage(*resource);
        }
    } catch (const std::exception&) {
        // A mount point that cannot be examined, or an icon that cannot be loaded, leaves nothing to set.
        image.reset();
    }
    if (!image) {
        log.write("Ferrolatch volume icon unavailable for " + mountPoint);
        return;
    }
    bool set = false;
    try {
        set = workspace.setIcon(*image, mountPoint);
    } catch (const std::exception&) {
        // A workspace that throws instead of answering has not set the icon.
    }
    log.write((set ? "Ferrolatch set the Finder icon for " : "Ferrolatch could not set the Finder icon for ") +
              mountPoint);
}

}
