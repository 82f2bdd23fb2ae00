#pragma once

#include "common/errors.h"
#include "platform/disk_arbitration.h"
#include "platform/file_events.h"
#include "platform/finder_sync_controller.h"
#include "platform/keychain.h"
#include "platform/local_channels.h"
#include "platform/login_item.h"
#include "platform/loopback_sockets.h"
#include "platform/main_loop.h"
#include "platform/mounted_volumes.h"
#include "platform/notifications.h"
#include "platform/passkey_service.h"
#include "platform/pasteboard.h"
#include "platform/preferences.h"
#include "platform/status_item.h"
#include "platform/ui.h"
#include "platform/volume_events.h"

#include <istream>
#include <sstream>

namespace ferrolatch {

// Stand-ins for a Platform built without the interactive services (a test of
// a command that needs none of them). Any use fails loudly instead of
// pretending to work.
namespace unavailable {

[[noreturn]] inline void refuse(const char* service)
{
    throw ProofError(std::string("this platform was built without ") + service);
}

class NoMainLoop final : public MainLoop {
public:
    void post(Task) override { refuse("a main loop"); }
    std::shared_ptr<DelayedTask> postAfter(double, Task) override { refuse("a main loop"); }
    void run() override { refuse("a main loop"); }
    void stop() override { refuse("a main loop"); }
    void runUntil(const std::function<bool()>&) override { refuse("a main loop"); }
    Clock& clock() override { refuse("a main loop"); }
};

class NoUi final : public Ui {
public:
    void prepareApplication() override { refuse("a user interface"); }
    void activate() override { refuse("a user interface"); }
    void beep() override { refuse("a user interface"); }
    Size layoutSize(const Alert&) override { refuse("a user interface"); }
    long runModal(Alert&) override { refuse("a user interface"); }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { refuse("a user interface"); }
};

class NoPasskeyService final : public PasskeyService {
public:
    std::unique_ptr<PasskeyAuthorization> performRequest(const PasskeyRequest&, PasskeyAuthorizationDelegate&) override
    {
        refuse("a passkey service");
    }
};

// The pasteboard of a Platform built without one: nothing can be placed.
class NoPasteboard final : public Pasteboard {
public:
    void clearContents() override {}
    bool setString(std::span<const std::uint8_t>) override { return false; }
    std::optional<SecretBytes> readString() override { return std::nullopt; }
};

// The preferences of a Platform built without a store: any use fails loudly
// rather than looking like a preference the system dropped.
class NoPreferences final : public Preferences {
public:
    std::optional<PreferenceValue> copyValue(std::string_view, std::string_view) override
    {
        refuse("a preference store");
    }
    void setValue(std::string_view, const PreferenceValue&, std::string_view) override
    {
        refuse("a preference store");
    }
    void removeValue(std::string_view, std::string_view) override { refuse("a preference store"); }
    bool synchronize(std::string_view) override { refuse("a preference store"); }
};

class NoKeychain final : public Keychain {
public:
    OSStatus add(const KeychainAttributes&) override { refuse("a keychain"); }
    OSStatus update(const KeychainAttributes&, const KeychainAttributes&) override { refuse("a keychain"); }
    OSStatus copyMatching(const KeychainQuery&, std::optional<SecretBytes>&) override { refuse("a keychain"); }
    OSStatus deleteItems(const KeychainAttributes&) override { refuse("a keychain"); }
    std::optional<std::string> copyErrorMessageString(OSStatus) override { return std::nullopt; }
    void addSharedWebCredential(const std::string&, const std::string&, const SecretBytes&,
                                SharedWebCredentialCompletion) override
    {
        refuse("a keychain");
    }
};

// Without Disk Arbitration no session can be created, as when the system
// service is unreachable.
class NoDiskArbitration final : public DiskArbitration {
public:
    std::unique_ptr<DiskArbitrationSession> createSession() override { return nullptr; }
};

class NoNotifications final : public Notifications {
public:
    void post(std::string_view) override { refuse("distributed notifications"); }
    Token observe(std::string_view, Observer) override { refuse("distributed notifications"); }
    void removeObserver(Token) override {}
};

class NoVolumeEvents final : public VolumeEvents {
public:
    Token observe(Observer) override { refuse("workspace notifications"); }
    void removeObserver(Token) override {}
};

class NoFileEvents final : public FileEvents {
public:
    Token observe(const std::string&, Observer) override { refuse("file system events"); }
    void removeObserver(Token) override {}
};

// Without the channel no service can be offered, and none is there to reach:
// a command goes on as it would with no agent running.
class NoLocalChannels final : public LocalChannels {
public:
    std::unique_ptr<ChannelOffer> offer(std::string_view, Handler) override { refuse("a local channel"); }
    std::unique_ptr<ChannelConnection> connect(std::string_view) override { return nullptr; }
};

class NoMountedVolumes final : public MountedVolumes {
public:
    std::vector<MountedVolumeInfo> mountedVolumes(Hidden) override { refuse("a mounted-volume listing"); }
};

class NoLoginItem final : public LoginItem {
public:
    LoginItemStatus status() override { refuse("a login item service"); }
    void registerItem() override { refuse("a login item service"); }
    void unregisterItem() override { refuse("a login item service"); }
};

// Without the extension: it is not enabled, and nothing may act as if Finder
// were there.
class NoFinderSyncController final : public FinderSyncController {
public:
    std::optional<std::set<std::string>> directoryURLs() override { refuse("a Finder Sync controller"); }
    void setDirectoryURLs(const std::set<std::string>&) override { refuse("a Finder Sync controller"); }
    bool isExtensionEnabled() override { return false; }
    void showExtensionManagementInterface() override { refuse("a Finder Sync controller"); }
};

inline FinderSyncController& finderSyncController()
{
    static NoFinderSyncController none;
    return none;
}

inline LoginItem& loginItem()
{
    static NoLoginItem none;
    return none;
}

inline Keychain& keychain()
{
    static NoKeychain none;
    return none;
}

// A platform without a status bar: the agent cannot show itself.
class NoStatusItem final : public StatusItem {
public:
    bool canLoadImage(const std::string&) override { refuse("a status bar"); }
    void setButton(const StatusButton&) override { refuse("a status bar"); }
    StatusButton button() const override { refuse("a status bar"); }
    void setMenu(Menu, MenuDelegate*) override { refuse("a status bar"); }
    const Menu& menu() const override { refuse("a status bar"); }
};

inline StatusItem& statusItem()
{
    static NoStatusItem none;
    return none;
}

class NoLoopbackSockets final : public LoopbackSockets {
public:
    LoopbackListening listen(int) override { refuse("loopback sockets"); }
};

inline LoopbackSockets& loopbackSockets()
{
    static NoLoopbackSockets none;
    return none;
}

inline DiskArbitration& diskArbitration()
{
    static NoDiskArbitration none;
    return none;
}

inline Notifications& notifications()
{
    static NoNotifications none;
    return none;
}

inline VolumeEvents& volumeEvents()
{
    static NoVolumeEvents none;
    return none;
}

inline FileEvents& fileEvents()
{
    static NoFileEvents none;
    return none;
}

inline LocalChannels& localChannels()
{
    static NoLocalChannels none;
    return none;
}

inline MountedVolumes& mountedVolumes()
{
    static NoMountedVolumes none;
    return none;
}

inline MainLoop& mainLoop()
{
    static NoMainLoop loop;
    return loop;
}

inline Ui& ui()
{
    static NoUi none;
    return none;
}

inline PasskeyService& passkeys()
{
    static NoPasskeyService none;
    return none;
}

inline Pasteboard& pasteboard()
{
    static NoPasteboard none;
    return none;
}

inline Preferences& preferences()
{
    static NoPreferences none;
    return none;
}

// The input of a Platform built without a terminal: always at its end, so a
// flow that waits for the user ends as if input had been closed.
inline std::istream& input()
{
    static std::istringstream empty;
    return empty;
}

}

}
