#include "app/prompt_suppression.h"

#include "common/constants.h"
#include "common/utf8.h"
#include "crypto/volume_uuid.h"
#include "disk/system_tools.h"
#include "common/errors.h"

#include <charconv>
#include <exception>
#include <string>

namespace ferrolatch {

namespace {

constexpr std::string_view agentProcessName = "APFSUserAgent";
// How long dismissStaleAPFSUserAgent waits for the old agents: 20 x 50 ms.
constexpr int dismissalPolls = 20;
constexpr std::chrono::milliseconds dismissalPollInterval {50};

bool marksVolume(const PreferenceValue::Dictionary& dictionary)
{
    auto entry = dictionary.find(apfsUserAgentPreferenceValue);
    if (entry == dictionary.end())
        return false;
    const std::string* text = entry->second.string();
    return text && *text == apfsUserAgentSuppressUntil;
}

bool marksVolume(const std::optional<PreferenceValue>& value)
{
    return value && value->dictionary() && marksVolume(*value->dictionary());
}

// An optional sign, then decimal digits only, within the 32-bit signed range.
std::optional<std::int32_t> parseDecimal32(std::string_view piece)
{
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
        if (piece.empty() || piece.front() < '0' || piece.front() > '9')
            return std::nullopt;
    }
    std::int32_t number = 0;
    auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), number);
    if (error != std::errc() || end != piece.data() + piece.size())
        return std::nullopt;
    return number;
}

bool sharesAny(const std::set<std::int32_t>& current, const std::set<std::int32_t>& old)
{
    for (std::int32_t id : current)
        if (old.contains(id))
            return true;
    return false;
}

}

bool apfsPromptSuppressionCapable(Files& files, Paths& paths)
{
    try {
        std::string contents = files.readFile(paths.systemFile(apfsUserAgentPath));
        return contents.find(apfsUserAgentPreferenceValue) != std::string::npos
            && contents.find("No prompt required") != std::string::npos;
    } catch (const std::exception&) {
        return false;
    }
}

void markSuppressed(PreferenceValue::Dictionary& settings)
{
    settings.insert_or_assign(std::string(apfsUserAgentPreferenceValue), PreferenceValue(std::string(apfsUserAgentSuppressUntil)));
}

bool installAPFSPromptSuppression(const PromptSuppressionServices& services, std::string_view volumeUUID)
{
    if (!apfsPromptSuppressionCapable(services.files, services.paths))
        throw ProofError(std::string(promptSuppressionUnsupported));
    return installAPFSPromptMarker(services, volumeUUID);
}

bool installAPFSPromptMarker(const PromptSuppressionServices& services, std::string_view volumeUUID)
{
    std::optional<std::string> key = canonicalVolumeUUID(volumeUUID);
    if (!key)
        throw ProofError("refusing to suppress the APFS prompt for an invalid volume UUID");

    Preferences& preferences = services.preferences;
    // A value of any other kind under the volume's key is replaced.
    PreferenceValue::Dictionary settings;
    if (std::optional<PreferenceValue> current = preferences.copyValue(*key, apfsUserAgentDomain))
        if (const PreferenceValue::Dictionary* existing = current->dictionary())
            settings = *existing;
    if (marksVolume(settings))
        return false;

    markSuppressed(settings);
    preferences.setValue(*key, PreferenceValue(std::move(settings)), apfsUserAgentDomain);
    if (!preferences.synchronize(apfsUserAgentDomain))
        throw ProofError("macOS did not persist Ferrolatch's per-user APFS prompt suppression");
    if (!marksVolume(preferences.copyValue(*key, apfsUserAgentDomain)))
        throw ProofError("macOS did not verify Ferrolatch's per-user APFS prompt suppression");
    return true;
}

bool removeAPFSPromptSuppression(const PromptSuppressionServices& services, std::string_view volumeUUID)
{
    std::optional<std::string> key = canonicalVolumeUUID(volumeUUID);
    if (!key)
        throw ProofError("refusing to suppress the APFS prompt for an invalid volume UUID");
    Preferences& preferences = services.preferences;
    std::optional<PreferenceValue> current = preferences.copyValue(*key, apfsUserAgentDomain);
    const PreferenceValue::Dictionary* existing = current ? current->dictionary() : nullptr;
    if (!existing || !existing->contains(apfsUserAgentPreferenceValue))
        return false;
    // The volume's other settings stay; a dictionary left empty goes with it.
    PreferenceValue::Dictionary settings = *existing;
    settings.erase(settings.find(apfsUserAgentPreferenceValue));
    if (settings.empty())
        preferences.removeValue(*key, apfsUserAgentDomain);
    else
        preferences.setValue(*key, PreferenceValue(std::move(settings)), apfsUserAgentDomain);
    if (!preferences.synchronize(apfsUserAgentDomain))
        throw ProofError("macOS did not persist Ferrolatch's per-user APFS prompt suppression");
    return true;
}

std::set<std::int32_t> parseProcessIDs(std::string_view output)
{
    std::set<std::int32_t> ids;
    if (!isValidUTF8(output))
        return ids;
    constexpr std::string_view whitespace = " \t\n\r\v\f";
    std::size_t start = output.find_first_not_of(whitespace);
    while (start != std::string_view::npos) {
        std::size_t end = output.find_first_of(whitespace, start);
        std::string_view piece = output.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (std::optional<std::int32_t> id = parseDecimal32(piece))
            ids.insert(*id);
        start = end == std::string_view::npos ? end : output.find_first_not_of(whitespace, end);
    }
    return ids;
}

std::set<std::int32_t> runningAPFSUserAgentPIDs(ToolRunner& tools, std::uint32_t realUserID)
{
    try {
        // pgrep exits non-zero when nothing matches: that is no agent, not an error.
        return parseProcessIDs(
            runTool(tools, tools::pgrep, {"-x", "-u", std::to_string(realUserID), std::string(agentProcessName)}));
    } catch (const std::exception&) {
        return {};
    }
}

void dismissStaleAPFSUserAgent(const PromptSuppressionServices& services)
{
    std::set<std::int32_t> old = runningAPFSUserAgentPIDs(services.tools, services.realUserID);
    if (old.empty())
        return;
    runTool(services.tools, tools::killall, {std::string(agentProcessName)});
    for (int poll = 0; poll < dismissalPolls; ++poll) {
        if (!sharesAny(runningAPFSUserAgentPIDs(services.tools, services.realUserID), old))
            return;
        services.pause(dismissalPollInterval);
    }
    throw ProofError("macOS did not dismiss its stale APFS password agent");
}

}
