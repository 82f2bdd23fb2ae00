#pragma once

#include "crypto/drive_registry.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/preferences.h"
#include "platform/tool_runner.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string_view>
#include <thread>

namespace ferrolatch {

// Blocks the caller for the given time; tests pass one that only counts.
using Pause = std::function<void(std::chrono::milliseconds)>;

// What the system APFS agent's prompt suppression reaches.
struct PromptSuppressionServices {
    Files& files;
    Paths& paths;
    Preferences& preferences;
    ToolRunner& tools;
    std::uint32_t realUserID; // of the calling process: only this user's agents are looked up
    Pause pause = [](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); };
};

inline PromptSuppressionServices promptSuppressionServices(Platform& platform)
{
    return {platform.files, platform.paths, platform.preferences, platform.tools, platform.realUserID};
}

// Whether the installed APFS agent honours the per-volume marker at all.
// Never fails: an unreadable agent executable means no.
bool apfsPromptSuppressionCapable(Files& files, Paths& paths);

// Sets the entry that keeps the APFS agent's prompt away in a volume's
// settings, leaving every other entry as it is.
void markSuppressed(PreferenceValue::Dictionary& settings);

// Marks one volume so that the APFS agent offers no password prompt for it.
// True when the stored preference changed, false when the marker was already
// there. Fails with a ProofError when the capability is missing, the UUID is
// malformed, or the preference could not be persisted and read back.
bool installAPFSPromptSuppression(const PromptSuppressionServices& services, std::string_view volumeUUID);
// The same for a caller that has probed the capability itself.
bool installAPFSPromptMarker(const PromptSuppressionServices& services, std::string_view volumeUUID);

// Takes the marker off one volume again, leaving the volume's other settings
// and every other volume's marker as they are. True when it changed the
// stored preference. Fails like the install when the UUID is malformed or
// the preference could not be persisted.
bool removeAPFSPromptSuppression(const PromptSuppressionServices& services, std::string_view volumeUUID);

// The current user's running APFS agent process ids. Never fails.
std::set<std::int32_t> runningAPFSUserAgentPIDs(ToolRunner& tools, std::uint32_t realUserID);

// Stops the user's APFS agents and waits until every process that ran before
// is gone; an agent restarted under a new id meanwhile is not stale.
void dismissStaleAPFSUserAgent(const PromptSuppressionServices& services);

// Registration's view of the above: install for one volume, then dismiss.
// The agent, which probes the capability once per run, writes the marker
// without probing again.
class APFSPromptSuppression final : public VolumePromptSuppression {
public:
    enum class Probe { EachInstall, ByCaller };
    explicit APFSPromptSuppression(PromptSuppressionServices services, Probe probe = Probe::EachInstall)
        : m_services(std::move(services)), m_probe(probe)
    {
    }
    bool install(std::string_view volumeUUID) override
    {
        return m_probe == Probe::EachInstall ? installAPFSPromptSuppression(m_services, volumeUUID)
                                             : installAPFSPromptMarker(m_services, volumeUUID);
    }
    void dismissStaleAgent() override { dismissStaleAPFSUserAgent(m_services); }

private:
    PromptSuppressionServices m_services;
    Probe m_probe;
};

// Decimal process ids separated by whitespace, as pgrep prints them; pieces
// that are not 32-bit signed decimals are skipped.
std::set<std::int32_t> parseProcessIDs(std::string_view output);

}
