#include "commands/offline_recovery.h"

#include "commands/recovery_key.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <variant>

namespace ferrolatch {

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Joins pieces into one secret without any of them passing through a string.
SecretBytes concatenated(std::initializer_list<std::span<const std::uint8_t>> pieces)
{
    std::size_t size = 0;
    for (auto piece : pieces)
        size += piece.size();
    SecretBytes joined(size);
    std::size_t at = 0;
    for (auto piece : pieces) {
        std::copy(piece.begin(), piece.end(), joined.data() + at);
        at += piece.size();
    }
    return joined;
}

Alert cardAlert(const SecretBytes& cardText)
{
    Alert alert;
    alert.style = AlertStyle::Critical;
    alert.messageText = "Offline Ferrolatch recovery key";
    alert.informativeText = "Write this key on paper or store it in an independent offline record. Anyone with it can "
                            "unlock the disk. Never save it on the Ferrolatch disk or send it to QUORVEL. Spaces "
                            "below are only for readability.";
    WrappingLabel label;
    label.text = cardText.clone();
    label.font = Font {Font::Family::MonospacedSystem, 15, Font::Weight::Medium};
    label.size = {560, 170};
    label.maximumNumberOfLines = 0;
    alert.accessory = std::move(label);
    alert.buttons = {{"I Saved This Key"}, {"Later"}};
    alert.excludedFromCapture = true;
    return alert;
}

Alert confirmationAlert()
{
    Alert alert;
    alert.style = AlertStyle::Informational;
    alert.messageText = "Confirm your offline copy";
    alert.informativeText = "Enter the final 8 characters from the recovery key you saved.";
    SecureTextField field;
    field.size = {320, 24};
    field.initialFirstResponder = true;
    alert.accessory = std::move(field);
    alert.buttons = {{"Confirm"}, {"Show Key Again"}};
    alert.excludedFromCapture = true;
    return alert;
}

}

SecretBytes offlineRecoveryCardText(const SecretBytes& groupedKey, const std::string& volumeName,
                                    const std::string& volumeUUID)
{
    return concatenated({bytesOf("Volume: "), bytesOf(volumeName), bytesOf("\nUUID: "), bytesOf(volumeUUID),
                         bytesOf("\n\n"), groupedKey.bytes(),
                         bytesOf("\n\nManual recovery: open Disk Utility, select "), bytesOf(volumeName),
                         bytesOf(", choose Mount or Unlock, and enter the key without spaces.")});
}

void showOfflineRecoveryCard(Ui& ui, std::ostream& out, const SecretBytes& password, const std::string& volumeName,
                             const std::string& volumeUUID)
{
    SecretBytes working = password.clone(); // a destructor wipes it on any failure too
    SecretBytes code = recoveryConfirmationCode(working);
    SecretBytes cardText = offlineRecoveryCardText(groupedRecoveryKey(working), volumeName, volumeUUID);

    for (;;) {
        Alert card = cardAlert(cardText);
        ui.layoutSize(card);
        ui.activate();
        if (ui.runModal(card) != alertFirstButtonReturn) {
            out << "OFFLINE RECOVERY CARD DEFERRED\n";
            break;
        }

        Alert confirm = confirmationAlert();
        ui.layoutSize(confirm);
        long response = ui.runModal(confirm);
        const auto& typed = std::get<SecureTextField>(*confirm.accessory).text;
        if (response == alertFirstButtonReturn && typed.equals(code.bytes())) {
            out << "OFFLINE RECOVERY CARD CONFIRMED\n";
            break;
        }
        ui.beep();
    }
    working.wipe();
}

void offerOfflineRecoveryCard(Ui& ui, std::ostream& out, const SecretBytes& password, const std::string& volumeName,
                              const std::string& volumeUUID)
{
    Alert offer;
    offer.style = AlertStyle::Informational;
    offer.messageText = "Create an offline recovery card?";
    offer.informativeText = "Recommended: keep one copy of the APFS recovery key outside iCloud Passwords. It can "
                            "recover this disk if you lose access to your Apple Account, passkey, or Ferrolatch. You "
                            "can also create it later from the Ferrolatch menu.";
    offer.buttons = {{"Create Recovery Card"}, {"Later"}};
    ui.activate();
    if (ui.runModal(offer) == alertFirstButtonReturn)
        showOfflineRecoveryCard(ui, out, password, volumeName, volumeUUID);
    else
        out << "OFFLINE RECOVERY CARD DEFERRED\n";
}

}
