#include "commands/restore_drive.h"

#include "commands/agent_unlock_window.h"
#include "commands/receipt.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/path_text.h"
#include "crypto/manifest_rules.h"
#include "disk/system_tools.h"

namespace ferrolatch {

namespace {

constexpr std::int64_t smallBackupLimit = 1'342'177'279;
constexpr std::int64_t smallBackupMargin = 64 * 1024 * 1024;
constexpr const char* restoreDirectoryName = "Backups";
constexpr const char* stagedReceiptName = "staged-backup.sha256";

// The steps that run while the volume is unlocked; the caller locks it again
// if any of them fails.
void copyAndVerify(DriveVolumeServices& services, const APFSVolume& volume, const std::string& source,
                   const std::string& receiptPath, const ReceiptTotals& sourceTotals)
{
    std::string mount = mountPoint(services.tools, volume.device);
    std::string destination = mount + "/" + restoreDirectoryName;
    if (services.files.exists(destination))
        throw ProofError("refusing to replace existing restore directory at " + destination);

    std::uint64_t available = services.files.freeSpace(mount).value_or(0);
    std::int64_t needed = requiredRestoreSpace(sourceTotals.bytes);
    if (needed < 0 || available < static_cast<std::uint64_t>(needed))
        throw ProofError("encrypted volume does not have enough free space for a verified restore");

    services.out << "COPYING VERIFIED SOURCE TO " << destination << '\n';
    runTool(services.tools, tools::ditto, {source, destination});
    runTool(services.tools, tools::sync, {});

    services.out << "VERIFYING DESTINATION RECEIPT\n";
    if (verifyReceipt(services.files, receiptPath, destination) != sourceTotals)
        throw ProofError("destination receipt totals differ from the verified source");

    services.files.writeFileAtomically(mount + "/" + stagedReceiptName, services.files.readFile(receiptPath));
    runTool(services.tools, tools::sync, {});
    lockAPFSVolume(services.tools, volume.device);
}

}

std::int64_t requiredRestoreSpace(std::int64_t sourceBytes)
{
    std::int64_t margin = sourceBytes <= smallBackupLimit ? smallBackupMargin : sourceBytes / 20;
    // A total this large cannot fit anywhere; saturating keeps the comparison honest.
    if (sourceBytes > INT64_MAX - margin)
        return INT64_MAX;
    return sourceBytes + margin;
}

void runRestoreDrive(DriveVolumeServices& services, const std::string& manifestPath, const std::string& sourceDirectory,
                     const std::string& receiptPath)
{
    Manifest manifest = loadNativeVolumeManifest(services.files, manifestPath);
    std::string source = lexicallyNormalizedPath(sourceDirectory);

    services.out << "VERIFYING SOURCE RECEIPT\n";
    ReceiptTotals sourceTotals = verifyReceipt(services.files, receiptPath, source);
    services.out << "SOURCE VERIFIED \u2014 " << sourceTotals.entries << " files, " << sourceTotals.bytes
                 << " bytes\n";

    if (!manifest.volumeUUID)
        throw ProofError("the native Ferrolatch APFS volume is not attached");
    APFSVolume volume = findManifestVolume(services.tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the native Ferrolatch APFS volume must be encrypted and locked before restore");

    // Zeroed by its destructor on every way out.
    SecretBytes password = services.unwrap(manifest);
    unlockAPFSVolumeBesideAgent(services.channels, services.tools, volume, password);
    password.wipe(); // not needed again: nothing is left to zero later
    {
        auto relock = onFailure([&] { lockAPFSVolume(services.tools, volume.device); });
        copyAndVerify(services, volume, source, receiptPath, sourceTotals);
        relock.dismiss();
    }

    services.out << "RESTORE PASSED\n"
                 << "Copied and re-verified " << sourceTotals.entries
                 << " files, then re-locked the encrypted volume.\n";
}

void restoreDriveCommand(Platform& platform, const CommandArguments& arguments)
{
    DriveVolumeServices services = driveVolumeServices(platform);
    runRestoreDrive(services, arguments.at(0).value, arguments.at(1).value, arguments.at(2).value);
}

}
