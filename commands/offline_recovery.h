#pragma once

#include "common/secret_bytes.h"
#include "platform/ui.h"

#include <ostream>
#include <string>

namespace ferrolatch {

// What the offline card shows: volume, UUID, the grouped key and how to use it
// in Disk Utility. A secret, because the key is in it.
SecretBytes offlineRecoveryCardText(const SecretBytes& groupedKey, const std::string& volumeName,
                                    const std::string& volumeUUID);

// Shows the recovery password once on a capture-excluded card and has the user
// type its last eight characters back; a wrong code brings the card back.
// Prints "OFFLINE RECOVERY CARD CONFIRMED" or, on "Later",
// "OFFLINE RECOVERY CARD DEFERRED". The caller's bytes are left as they are;
// the working copy is zeroed however this ends.
void showOfflineRecoveryCard(Ui& ui, std::ostream& out, const SecretBytes& password, const std::string& volumeName,
                             const std::string& volumeUUID);

// Asks whether to make the card now, as set-up ends; declining prints
// "OFFLINE RECOVERY CARD DEFERRED".
void offerOfflineRecoveryCard(Ui& ui, std::ostream& out, const SecretBytes& password, const std::string& volumeName,
                              const std::string& volumeUUID);

}
