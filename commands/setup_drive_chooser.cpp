#include "commands/setup_drive_chooser.h"

#include "common/hex.h"
#include "crypto/drive_registry.h"
#include "crypto/random.h"
#include "disk/volume_name.h"
#include "common/errors.h"
#include "platform/platform.h"

#include <array>
#include <optional>
#include <cstddef>
#include <utility>

namespace ferrolatch {

namespace {

__extension__ using Wide = unsigned __int128;

constexpr const char* separator = " \u2014 ";

// Fraction digits the Mac shows per unit: none for bytes and kB, then 1, then 2.
constexpr std::array<int, 7> fractionDigits = {0, 0, 1, 2, 2, 2, 2};
constexpr std::array<const char*, 7> unitNames = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};

Wide powerOf(Wide base, int exponent)
{
    Wide result = 1;
    while (exponent-- > 0)
        result *= base;
    return result;
}

// bytes / 1000^unit with the unit's digits, rounded half up, in hundredths etc.
std::uint64_t scaledValue(std::uint64_t bytes, std::size_t unit)
{
    Wide divisor = powerOf(1000, static_cast<int>(unit));
    Wide numerator = Wide {bytes} * powerOf(10, fractionDigits[unit]);
    return static_cast<std::uint64_t>((numerator * 2 + divisor) / (divisor * 2));
}

std::string withFraction(std::uint64_t scaled, int digits)
{
    std::uint64_t factor = static_cast<std::uint64_t>(powerOf(10, digits));
    std::string text = std::to_string(scaled / factor);
    if (digits == 0)
        return text;
    std::string fraction = std::to_string(scaled % factor);
    fraction.insert(0, static_cast<std::size_t>(digits) - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    return fraction.empty() ? text : text + "." + fraction;
}

}

std::string fileStyleByteCount(std::int64_t count)
{
    if (count == 0)
        return "Zero KB";
    bool negative = count < 0;
    std::uint64_t bytes = negative ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    std::string sign = negative ? "-" : "";
    if (bytes == 1)
        return sign + "1 byte";

    std::size_t unit = 0;
    while (unit + 1 < unitNames.size() && Wide {bytes} >= powerOf(1000, static_cast<int>(unit + 1)))
        ++unit;
    std::uint64_t scaled = scaledValue(bytes, unit);
    // 999,999 bytes round to 1,000 KB, which a Mac writes as 1 MB.
    if (unit > 0 && unit + 1 < unitNames.size()
        && scaled >= 1000 * static_cast<std::uint64_t>(powerOf(10, fractionDigits[unit]))) {
        ++unit;
        scaled = scaledValue(bytes, unit);
    }
    return sign + withFraction(scaled, fractionDigits[unit]) + " " + unitNames[unit];
}

std::string diskChoiceTitle(const DriveInspection& disk)
{
    return disk.mediaName + separator + fileStyleByteCount(disk.sizeBytes) + separator + disk.busProtocol + separator
        + disk.deviceIdentifier;
}

std::string newLowercaseUUID()
{
    SecretBytes random = randomBytes(16);
    std::array<std::uint8_t, 16> bytes {};
    for (std::size_t index = 0; index < bytes.size(); ++index)
        bytes[index] = random.data()[index];
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    std::string hex = hexString(bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-"
        + hex.substr(20);
}

namespace {

void showNoDiskAlert(Ui& ui)
{
    Alert none;
    none.style = AlertStyle::Warning;
    none.messageText = "Connect an external drive";
    none.informativeText = "Ferrolatch found no eligible physical external drive. Connect the USB drive you want "
                           "to set up, then choose Set Up a Drive\u2026 again.";
    none.buttons = {{"OK"}};
    ui.activate();
    ui.runModal(none);
}

struct DiskChoice {
    std::size_t disk = 0; // index into the eligible disks
    std::string volumeName;
};

// The set-up alert until it is cancelled or names an acceptable volume. The
// same alert is shown again after a refused name, so the grid keeps the
// chosen disk and the typed name.
std::optional<DiskChoice> chooseDiskAndName(Ui& ui, const std::vector<DriveInspection>& disks)
{
    PopUpButton chooser;
    for (const DriveInspection& disk : disks)
        chooser.items.push_back(diskChoiceTitle(disk));
    chooser.size = {440, 26};
    TextField name;
    name.text = "PRIVATE";
    name.placeholder = "Encrypted volume name";
    name.size = {440, 24};
    Grid grid;
    grid.rows.push_back({"External drive:", std::move(chooser)});
    grid.rows.push_back({"Encrypted volume:", std::move(name)});
    grid.rowSpacing = 10;
    grid.columnSpacing = 12;
    grid.size = {560, 72};

    Alert setup;
    setup.style = AlertStyle::Critical;
    setup.messageText = "Set up a Ferrolatch disk";
    setup.informativeText = "The selected external drive will be completely erased. To convert a drive with files, "
                            "back them up elsewhere first; restore them after setup. Ferrolatch creates an "
                            "unencrypted bootstrap volume and a passkey-protected encrypted data volume.";
    setup.accessory = std::move(grid);
    setup.buttons = {{"Continue"}, {"Cancel"}};

    while (true) {
        ui.activate();
        if (ui.runModal(setup) != alertFirstButtonReturn)
            return std::nullopt;
        const Grid& answered = std::get<Grid>(*setup.accessory);
        DiskChoice choice {std::get<PopUpButton>(answered.rows[0].control).selectedIndex,
                           std::get<TextField>(answered.rows[1].control).text};
        try {
            validateVolumeName(choice.volumeName);
        } catch (const ProofError& refusal) {
            Alert retry;
            retry.style = AlertStyle::Warning;
            retry.messageText = "Choose a different volume name";
            retry.informativeText = refusal.what();
            retry.buttons = {{"Try Again"}};
            ui.runModal(retry);
            continue;
        }
        if (choice.disk >= disks.size())
            throw ProofError("the selected external drive is no longer in the list");
        return choice;
    }
}

// The erase alert: false when cancelled; a typed phrase that is not exactly
// "ERASE " and the disk's identifier fails.
bool confirmErase(Ui& ui, const DriveInspection& disk)
{
    std::string phrase = "ERASE " + disk.deviceIdentifier;
    TextField typed;
    typed.placeholder = phrase;
    typed.size = {360, 24};
    typed.initialFirstResponder = true;
    Alert erase;
    erase.style = AlertStyle::Critical;
    erase.messageText = "Are you sure you want to erase " + disk.mediaName + "?";
    erase.informativeText = "This permanently erases " + disk.deviceIdentifier + ", "
        + fileStyleByteCount(disk.sizeBytes) + ". Type " + phrase + " to confirm.";
    erase.accessory = std::move(typed);
    erase.buttons = {{"Cancel"}, {"Erase and Set Up", true}};
    if (ui.runModal(erase) != alertFirstButtonReturn + 1)
        return false;
    if (std::get<TextField>(*erase.accessory).text != phrase)
        throw ProofError("the erase confirmation did not exactly match " + phrase);
    return true;
}

void showReadyAlert(Ui& ui)
{
    Alert ready;
    ready.style = AlertStyle::Informational;
    ready.messageText = "Your Ferrolatch disk is ready";
    ready.informativeText = "Restore your files from your backup. Eject it normally when you are finished; on later "
                            "insertions, approve the Ferrolatch passkey prompt to unlock it.";
    ready.buttons = {{"Done"}};
    ui.runModal(ready);
}

}

void runSetupDrive(SetupDriveServices& services)
{
    Ui& ui = services.ui;
    ui.prepareApplication();
    ui.activate();

    std::vector<DriveInspection> disks = services.eligibleDisks();
    if (disks.empty()) {
        showNoDiskAlert(ui);
        return;
    }
    std::optional<DiskChoice> choice = chooseDiskAndName(ui, disks);
    if (!choice) {
        services.out << "DRIVE SETUP CANCELLED\n";
        return;
    }
    const DriveInspection& disk = disks[choice->disk];
    if (!confirmErase(ui, disk)) {
        services.out << "DRIVE SETUP CANCELLED\n";
        return;
    }

    std::string enrollments = supportDirectory(services.paths) + "/Enrollments";
    services.files.createDirectory(enrollments, 0700);
    std::string manifestPath = enrollments + "/setup-" + newLowercaseUUID() + ".json";
    services.initialize({disk.deviceIdentifier, disk.confirmationToken, choice->volumeName, manifestPath});
    showReadyAlert(ui);
}

void setupDriveCommand(Platform& platform, VolumePromptSuppression& promptSuppression, const CommandArguments&)
{
    DriveSetupServices worker = driveSetupServices(platform, promptSuppression);
    SetupDriveServices services {platform.ui, platform.out, platform.files, platform.paths,
                                 [&platform] { return listEligibleExternalDisks(platform.tools); },
                                 [&worker](const DriveSetupRequest& request) { initializeDrive(worker, request); }};
    runSetupDrive(services);
}

}
