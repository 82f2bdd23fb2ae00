#include "commands/browser_commands.h"

#include "commands/keychain_recovery.h"
#include "commands/passwords_handoff.h"
#include "commands/shared_recovery_credential.h"
#include "common/constants.h"
#include "platform/platform.h"

namespace ferrolatch {

namespace {

// Zeroes the obtained password when the command leaves, however it leaves.
class WipeOnExit {
public:
    explicit WipeOnExit(SecretBytes& password) : m_password(password) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { m_password.wipe(); }

private:
    SecretBytes& m_password;
};

void reportAndOpenPasswords(BrowserRecoveryServices& services, const char* headline, const char* detail,
                            const std::string& account)
{
    services.out << headline << '\n'
                 << detail << '\n'
                 << "Website: " << recoveryCredentialDomain << '\n'
                 << "Account: " << account << '\n';
    openPasswordsDisregardingFailure(services.tools);
}

BrowserRecoveryServices recoveryServicesOf(Platform& platform)
{
    return {platform.keychain, platform.mainLoop, platform.tools, platform.out};
}

BrowserVolumePassword obtainThroughBrowser(Platform& platform, const CommandArguments& arguments)
{
    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    return obtainBrowserVolumePassword(ceremony, platform.files, platform.tools, arguments.at(0).value);
}

}

void storeObtainedRecovery(BrowserRecoveryServices& services, BrowserVolumePassword& obtained)
{
    std::string account;
    {
        WipeOnExit wipe(obtained.password);
        account = saveRecoveryKeychainItem(services.keychain, obtained.password, obtained.volumeName,
                                           obtained.volumeUUID);
    }
    reportAndOpenPasswords(services, "RECOVERY STORAGE PROOF PASSED",
                           "Saved and read back an iCloud-synchronizable Internet password item.", account);
}

void shareObtainedRecovery(BrowserRecoveryServices& services, BrowserVolumePassword& obtained)
{
    std::string account = recoveryAccount(obtained.volumeName, obtained.volumeUUID);
    {
        WipeOnExit wipe(obtained.password);
        addSharedRecoveryCredential(services.loop, services.keychain, obtained.password, account);
    }
    reportAndOpenPasswords(services, "PASSWORDS SHARED-CREDENTIAL PROOF PASSED",
                           "The signed app saved or updated the visible recovery credential through macOS.", account);
}

void storeRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    BrowserVolumePassword obtained = obtainThroughBrowser(platform, arguments);
    BrowserRecoveryServices services = recoveryServicesOf(platform);
    storeObtainedRecovery(services, obtained);
}

void shareRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    BrowserVolumePassword obtained = obtainThroughBrowser(platform, arguments);
    BrowserRecoveryServices services = recoveryServicesOf(platform);
    shareObtainedRecovery(services, obtained);
}

}
