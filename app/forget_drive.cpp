#include "app/forget_drive.h"

#include "app/prompt_suppression.h"
#include "common/errors.h"
#include "crypto/drive_registry.h"
#include "crypto/volume_uuid.h"
#include "platform/platform.h"

namespace ferrolatch {

void forgetDriveCommand(Platform& platform, const CommandArguments& arguments)
{
    std::optional<std::string> uuid = canonicalVolumeUUID(arguments.at(0).value);
    if (!uuid || !registeredVolumeUUIDs(platform.files, platform.paths).contains(*uuid))
        throw ProofError("no Ferrolatch drive with this volume UUID is registered on this Mac");
    // The marker first: should that fail, the drive stays registered and the
    // command can simply be run again.
    removeAPFSPromptSuppression(promptSuppressionServices(platform), *uuid);
    unregisterDrive(platform.files, platform.paths, *uuid);
    platform.out << "DRIVE FORGOTTEN\n"
                 << "Volume UUID: " << *uuid << '\n';
}

}
