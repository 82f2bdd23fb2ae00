#pragma once

#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/tool_runner.h"

#include <string>
#include <string_view>

namespace ferrolatch {

// The disposable image the proof commands of both ceremonies enrol and
// unlock: an encrypted APFS image whose one visible file is the marker.
inline constexpr const char* proofImageMarkerName = "FERROLATCH-PROOF.txt";

// Creates the image under the password, writes its marker and detaches it;
// a failure after the attach detaches it before it is reported.
void createMarkedProofImage(ToolRunner& tools, Files& files, const std::string& image, const SecretBytes& password);

// Attaches the image with the password, which is wiped once the image is
// open, checks the marker and detaches the image again. A wrong marker fails
// with wrongMarkerMessage; a failed detach is tried once more first.
void verifyMarkedProofImage(ToolRunner& tools, Files& files, const std::string& image, SecretBytes password,
                            std::string_view wrongMarkerMessage);

}
