#pragma once

#include "crypto/manifest.h"
#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/tool_runner.h"

#include <string>
#include <string_view>

namespace ferrolatch {

// Where an attached image's volume is.
struct ImageAttachment {
    std::string device;     // e.g. /dev/disk7s1
    std::string mountPoint;

    bool operator==(const ImageAttachment&) const = default;
};

// The 16 MiB APFS image the quick proofs use. Callers refuse an existing image first.
void createProofImage(ToolRunner& tools, const std::string& imagePath, const SecretBytes& password);

// Checks the size text (64m, 20g, 1t), the volume name and the ".sparsebundle"
// path, refuses to replace anything, then creates the encrypted bundle.
void createEncryptedSparsebundle(Files& files, ToolRunner& tools, const std::string& bundlePath,
                                 const std::string& size, const std::string& volumeName, const SecretBytes& password);

// "^[1-9][0-9]*[mMgGtT]$"
bool isSparsebundleSize(std::string_view size);

// The last device and the last mount point an "hdiutil attach -plist" receipt reports.
ImageAttachment parseAttachmentReceipt(std::string_view plist);

// Attaches without showing it in Finder. When reading the receipt fails the
// image stays attached; the caller decides.
ImageAttachment attachEncryptedImage(ToolRunner& tools, const std::string& imagePath, const SecretBytes& password);
void detachImage(ToolRunner& tools, const std::string& device);

// Reads a manifest and accepts only a native sparse bundle's: a bare
// ".sparsebundle" image name and a volume name.
Manifest loadNativeSparsebundleManifest(Files& files, const std::string& path);

}
