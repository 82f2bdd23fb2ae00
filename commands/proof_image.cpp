#include "commands/proof_image.h"

#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "disk/disk_images.h"

namespace ferrolatch {

void createMarkedProofImage(ToolRunner& tools, Files& files, const std::string& image, const SecretBytes& password)
{
    createProofImage(tools, image, password);
    ImageAttachment attachment = attachEncryptedImage(tools, image, password);
    auto detach = onFailure([&] { detachImage(tools, attachment.device); });
    files.writeFileAtomically(attachment.mountPoint + "/" + proofImageMarkerName, std::string(proofMarkerText));
    detachImage(tools, attachment.device);
    detach.dismiss();
}

void verifyMarkedProofImage(ToolRunner& tools, Files& files, const std::string& image, SecretBytes password,
                            std::string_view wrongMarkerMessage)
{
    ImageAttachment attachment = attachEncryptedImage(tools, image, password);
    password.wipe();
    auto detach = onFailure([&] { detachImage(tools, attachment.device); });
    if (files.readFile(attachment.mountPoint + "/" + proofImageMarkerName) != proofMarkerText)
        throw ProofError(std::string(wrongMarkerMessage));
    detachImage(tools, attachment.device);
    detach.dismiss();
}

}
