#include "disk/disk_images.h"

#include "common/ascii_case.h"
#include "common/path_text.h"
#include "crypto/manifest_rules.h"
#include "disk/property_list.h"
#include "disk/system_tools.h"
#include "disk/volume_name.h"
#include "common/errors.h"

#include <algorithm>

namespace ferrolatch {

namespace {

// The lower-cased text after the last dot of the last component; a name that
// only starts with a dot has no extension.
std::string lowerCasedExtension(std::string_view path)
{
    std::string name = lastPathComponent(path);
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return asciiLowercased(std::string_view(name).substr(dot + 1));
}

}

bool isSparsebundleSize(std::string_view size)
{
    if (size.size() < 2 || size.front() < '1' || size.front() > '9')
        return false;
    if (!std::all_of(size.begin(), size.end() - 1, [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    constexpr std::string_view units = "mMgGtT";
    return units.find(size.back()) != std::string_view::npos;
}

void createProofImage(ToolRunner& tools, const std::string& imagePath, const SecretBytes& password)
{
    runTool(tools, tools::hdiutil,
            {"create", "-size", "16m", "-fs", "APFS", "-volname", "FERROLATCH-PROOF", "-encryption", "AES-256",
             "-stdinpass", imagePath},
            password.withLineFeed());
}

void createEncryptedSparsebundle(Files& files, ToolRunner& tools, const std::string& bundlePath,
                                 const std::string& size, const std::string& volumeName, const SecretBytes& password)
{
    if (!isSparsebundleSize(size))
        throw ProofError("sparsebundle size must look like 64m, 20g, or 1t");
    validateVolumeName(volumeName);
    if (lowerCasedExtension(bundlePath) != "sparsebundle")
        throw ProofError("encrypted container path must end in .sparsebundle");
    if (files.exists(bundlePath))
        throw ProofError("refusing to replace existing sparsebundle at " + bundlePath);
    // What a new directory gets under the usual umask; the adapter applies modes exactly.
    files.createDirectoryWithDefaultMode(parentDirectory(bundlePath));
    runTool(tools, tools::hdiutil,
            {"create", "-type", "SPARSEBUNDLE", "-size", size, "-fs", "APFS", "-volname", volumeName, "-encryption",
             "AES-256", "-stdinpass", bundlePath},
            password.withLineFeed());
}

ImageAttachment parseAttachmentReceipt(std::string_view plist)
{
    PlistValue receipt = parsePropertyList(plist);
    const PlistValue::Array* entities =
        receipt.dictionary() ? plistArray(*receipt.dictionary(), "system-entities") : nullptr;
    auto entityDictionaries = entities ? dictionariesOf(*entities) : std::nullopt;
    if (!entityDictionaries)
        throw ProofError("hdiutil returned an unreadable attachment receipt");

    const std::string* device = nullptr;
    const std::string* mountPoint = nullptr;
    for (const PlistValue::Dictionary* entity : *entityDictionaries) {
        if (const std::string* entry = plistString(*entity, "dev-entry"))
            device = entry;
        if (const std::string* entry = plistString(*entity, "mount-point"))
            mountPoint = entry;
    }
    if (!device || !mountPoint)
        throw ProofError("hdiutil did not report both a device and mount point");
    return {*device, *mountPoint};
}

ImageAttachment attachEncryptedImage(ToolRunner& tools, const std::string& imagePath, const SecretBytes& password)
{
    return parseAttachmentReceipt(runTool(tools, tools::hdiutil, {"attach", "-plist", "-nobrowse", "-stdinpass", imagePath},
                                          password.withLineFeed()));
}

void detachImage(ToolRunner& tools, const std::string& device)
{
    runTool(tools, tools::hdiutil, {"detach", device});
}

Manifest loadNativeSparsebundleManifest(Files& files, const std::string& path)
{
    return acceptNativeSparsebundleManifest(readManifest(files, path));
}

}
