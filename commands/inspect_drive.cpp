#include "commands/inspect_drive.h"

#include "crypto/pretty_json.h"
#include "disk/disk_identity.h"

#include <nlohmann/json.hpp>

namespace ferrolatch {

void inspectDriveCommand(Platform& platform, const CommandArguments& arguments)
{
    DriveInspection inspection = inspectWholeDisk(platform.tools, arguments.at(0).value);
    platform.out << encodePrettyJSON(driveInspectionJSON(inspection)) << '\n';
}

}
