#include "platform/macsim/virtual_mac_adapters.h"

#include "common/build_config.h"
#include "common/virtual_mac_location.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/headless/scripted_ui.h"
#include "platform/macsim/finder_sync_store.h"
#include "platform/macsim/macsim_disk_arbitration.h"
#include "platform/macsim/macsim_files.h"
#include "platform/macsim/login_item_store.h"
#include "platform/macsim/macsim_keychain.h"
#include "platform/macsim/macsim_local_channels.h"
#include "platform/macsim/macsim_mounted_volumes.h"
#include "platform/macsim/macsim_notification_center.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/macsim/macsim_preferences.h"
#include "platform/macsim/macsim_status_item.h"
#include "platform/macsim/macsim_windows.h"
#include "platform/macsim/macsim_workspace.h"
#include "platform/macsim/passkey_authenticator.h"
#include "platform/macsim/shared_answer_cursor.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/desktop_browser.h"
#include "platform/posix/desktop_plugin.h"
#include "platform/posix/linux_file_events.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_interruption.h"
#include "platform/posix/posix_loopback_sockets.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/posix_tool_runner.h"
#include "platform/posix/syslog_log.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

const char* const noDisplay = "no display is available for this command's user interface; set FERROLATCH_UI_SCRIPT "
                              "to answer its alerts from a script";

bool isVirtualMac(const std::string& sysroot)
{
    struct stat info {};
    return !sysroot.empty() && stat(virtual_mac::stateFile(sysroot).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> missingReason(const std::string& given, const std::string& sysroot)
{
    if (sysroot.empty() && given.empty())
        return "no virtual Mac: set FERROLATCH_SYSROOT, or HOME for the default one, and create it with `macsim init` "
               "(scripts/demo does both)";
    if (sysroot.empty())
        return "no virtual Mac at " + given + ": the current directory is unknown, so set FERROLATCH_SYSROOT to an "
               "absolute path";
    if (isVirtualMac(sysroot))
        return std::nullopt;
    return "no virtual Mac at " + sysroot + "; create one with `macsim init` (scripts/demo does it for you) or set "
           "FERROLATCH_SYSROOT to one";
}

class VirtualMacAdapters final : public AdapterSet {
public:
    VirtualMacAdapters(const VirtualMacSettings& settings, std::ostream& out)
        : m_sysroot(virtual_mac::normalizedSysroot(settings.sysroot, settings.workingDirectory)),
          m_missing(missingReason(settings.sysroot, m_sysroot)),
          m_home(m_sysroot + "/Users/" + settings.loginName),
          m_tools(m_sysroot, settings.systemTools),
          m_syslog("ferrolatch-proof"),
          m_bundle(PosixPaths::bundleOfExecutable(settings.executablePath)),
          m_paths(m_bundle, m_sysroot, m_home),
          m_workspace(m_iconWorkspace, m_sysroot, &m_tools),
          m_preferences(m_home + "/Library/Preferences"),
          m_headlessLoop(m_clock),
          m_onDesktop(!settings.uiScript && settings.display),
          m_desktop([bundle = m_bundle]() -> DesktopAdapters& {
              return loadDesktopPlugin(bundle + "/" + desktopPluginPath);
          }, {}, m_interruption.wakeDescriptor())
    {
        // Without a virtual Mac nothing may write: no log file, no pasteboard
        // file. The frame refuses every command that needs a service anyway.
        if (!m_missing) {
            m_sysrootLog = std::make_unique<SysrootLog>(m_sysroot, "ferrolatch-proof", m_syslog);
            m_macsimPasteboard = std::make_unique<MacsimPasteboard>(m_sysroot);
        }
        chooseUi(settings);
        // On a desktop a person is there to read the page as well.
        if (m_onDesktop)
            m_workspace.handURLsTo(openWithDesktopOpener);
        MainLoop& loop = m_onDesktop ? m_desktop.mainLoop() : static_cast<MainLoop&>(m_headlessLoop);
        Ui& ui = m_onDesktop ? m_desktop.ui() : *m_scriptedUi;
        Pasteboard& pasteboard = m_onDesktop ? m_desktop.pasteboard()
            : m_macsimPasteboard          ? static_cast<Pasteboard&>(*m_macsimPasteboard)
                                          : unavailable::pasteboard();
        m_passkeys = std::make_unique<SimulatedPasskeyService>(
            loop, ui,
            PasskeyAuthenticatorSettings {m_home + "/Library/Keychains",
                                          m_bundle + "/Contents/Resources/Ferrolatch.entitlements",
                                          build::applicationIdentifier});
        m_keychain = std::make_unique<MacsimKeychain>(loop, ui, keychainStoreLocation(m_sysroot, settings.loginName),
                                                      m_bundle + "/Contents/Resources/Ferrolatch.entitlements");
        Log& log = m_sysrootLog ? static_cast<Log&>(*m_sysrootLog) : m_syslog;
        if (!m_missing && !m_onDesktop)
            m_statusItem = std::make_unique<MacsimStatusItem>(m_sysroot, "ferrolatch-proof", loop);
        StatusItem& statusItem = m_onDesktop ? m_desktop.statusItem()
            : m_statusItem             ? static_cast<StatusItem&>(*m_statusItem)
                                       : unavailable::statusItem();
        m_notifications = std::make_unique<MacsimNotificationCenter>(m_sysroot, loop);
        m_fileEvents = std::make_unique<LinuxFileEvents>(loop);
        m_platform = std::make_unique<Platform>(Platform {
            .tools = m_tools, .out = out, .files = m_files, .log = log, .paths = m_paths, .workspace = m_workspace,
            .mainLoop = loop, .ui = ui, .passkeys = *m_passkeys, .preferences = m_preferences,
            .realUserID = static_cast<std::uint32_t>(getuid()), .pasteboard = pasteboard,
            .input = m_interruption.input(), .interruption = m_interruption, .diskArbitration = m_diskArbitration,
            .notifications = *m_notifications, .volumeEvents = *m_notifications, .mountedVolumes = m_mountedVolumes,
            .keychain = *m_keychain, .statusItem = statusItem, .loopback = m_loopback,
            .loginItem = m_loginItem, .finderSync = m_finderSync, .fileEvents = *m_fileEvents,
            .channels = m_channels});
    }

    Platform& platform() override { return *m_platform; }
    std::optional<std::string> servicesUnavailable() const override { return m_missing; }
    std::optional<std::string> userInterfaceUnavailable() const override { return m_uiUnavailable; }

    Context desktopContext() override
    {
        if (!m_onDesktop)
            return {};
        return [this](const std::function<void()>& handler) { m_desktop(handler); };
    }

private:
    // Answered by an automation script when one is given, else by the
    // desktop's windows. A failure is kept for the UI-marked commands to
    // report, so that the others run whatever the setting says.
    void chooseUi(const VirtualMacSettings& settings)
    {
        if (settings.uiScript) {
            try {
                std::string text = uiScriptText(*settings.uiScript);
                UiScript script = parseUiScriptSetting(text);
                std::unique_ptr<AnswerCursor> shared;
                if (script.acrossProcesses && !m_missing)
                    shared = std::make_unique<SharedAnswerCursor>(m_sysroot, text);
                m_scriptedUi = std::make_unique<ScriptedUi>(std::move(script.answers), settings.uiTranscript,
                                                            std::move(shared));
                return;
            } catch (const std::exception& failure) {
                m_uiUnavailable = failure.what();
            }
        } else if (!settings.display) {
            m_uiUnavailable = noDisplay;
        }
        m_scriptedUi = std::make_unique<ScriptedUi>(std::vector<ScriptedAnswer> {}, "");
    }

    std::string m_sysroot;
    std::optional<std::string> m_missing;
    std::string m_home;
    PosixToolRunner m_tools;
    PosixLoopbackSockets m_loopback;
    PosixFiles m_hostFiles;
    MacsimFiles m_files {m_hostFiles, m_sysroot};
    SyslogLog m_syslog;
    std::unique_ptr<SysrootLog> m_sysrootLog;
    std::string m_bundle;
    PosixPaths m_paths;
    MacsimWorkspace m_iconWorkspace;
    MacsimDesktopWorkspace m_workspace;
    MacsimPreferences m_preferences;
    std::unique_ptr<MacsimPasteboard> m_macsimPasteboard;
    SystemClock m_clock;
    HeadlessMainLoop m_headlessLoop;
    bool m_onDesktop;
    PosixInterruption m_interruption;
    DesktopApplicationContext m_desktop;
    std::unique_ptr<ScriptedUi> m_scriptedUi;
    std::optional<std::string> m_uiUnavailable;
    std::unique_ptr<SimulatedPasskeyService> m_passkeys;
    std::unique_ptr<MacsimKeychain> m_keychain;
    std::unique_ptr<MacsimStatusItem> m_statusItem;
    MacsimDiskArbitration m_diskArbitration {m_sysroot};
    MacsimMountedVolumes m_mountedVolumes {m_sysroot};
    // Declared after the loops it posts to, so it stops listening before they go.
    std::unique_ptr<MacsimNotificationCenter> m_notifications;
    std::unique_ptr<LinuxFileEvents> m_fileEvents;
    MacsimLocalChannels m_channels {m_sysroot, static_cast<unsigned>(getuid())};
    MacsimLoginItem m_loginItem {m_sysroot};
    MacsimFinderSyncController m_finderSync {m_sysroot};
    std::unique_ptr<Platform> m_platform;
};

}

std::unique_ptr<AdapterSet> virtualMacAdapters(const VirtualMacSettings& settings, std::ostream& out)
{
    return std::make_unique<VirtualMacAdapters>(settings, out);
}

}
