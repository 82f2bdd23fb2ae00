#pragma once

#include "common/secret_bytes.h"
#include "disk/apfs_inventory.h"
#include "platform/local_channels.h"
#include "platform/tool_runner.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// What the user's commands and the running menu-bar agent say to each other
// over the user's local channel. The agent's mount guard refuses every mount
// of an enrolled volume; a command that unlocks one asks the agent first to
// let that one volume through, for as long as its unlock lasts.
namespace agent_channel {
std::string serviceName(); // the bundle identifier followed by ".agent"
inline constexpr std::string_view explicitUnlockVerb = "explicit-unlock";
inline constexpr std::string_view allowedReply = "allowed";
inline constexpr std::string_view refusedReply = "refused";
// How long a command waits for the agent's answer before it goes on alone.
inline constexpr std::chrono::milliseconds answerTimeout {5000};
// How long the agent keeps a command's window open at most, however long
// the command takes.
inline constexpr std::chrono::milliseconds longestWindow {120000};

std::string explicitUnlockRequest(std::string_view volumeUUID);
// The canonical UUID of a well-formed request; none for anything else.
std::optional<std::string> parseExplicitUnlockRequest(std::string_view request);
}

// A running agent's permission for one volume to mount, held until this ends
// (or the command's process does). Empty when no agent runs, or it did not
// answer: the command then goes on as it would without one.
class AgentUnlockWindow {
public:
    AgentUnlockWindow() = default;
    explicit AgentUnlockWindow(std::unique_ptr<ChannelConnection> connection) : m_connection(std::move(connection)) {}

    bool open() const { return m_connection != nullptr; }

private:
    std::unique_ptr<ChannelConnection> m_connection;
};

// Asks the user's running agent, if any, to open its window for the volume.
AgentUnlockWindow openAgentUnlockWindow(LocalChannels& channels, std::string_view volumeUUID);

// unlockAPFSVolume, inside the running agent's window for the volume: the
// unlock every command that opens an enrolled volume goes through.
void unlockAPFSVolumeBesideAgent(LocalChannels& channels, ToolRunner& tools, const APFSVolume& volume,
                                 const SecretBytes& password);

}
