#include "commands/agent_unlock_window.h"

#include "common/build_config.h"
#include "crypto/volume_uuid.h"

namespace ferrolatch {

namespace agent_channel {

std::string serviceName()
{
    return std::string(build::bundleIdentifier) + ".agent";
}

std::string explicitUnlockRequest(std::string_view volumeUUID)
{
    return std::string(explicitUnlockVerb) + " " + std::string(volumeUUID);
}

std::optional<std::string> parseExplicitUnlockRequest(std::string_view request)
{
    if (!request.starts_with(explicitUnlockVerb) || request.size() <= explicitUnlockVerb.size()
        || request[explicitUnlockVerb.size()] != ' ')
        return std::nullopt;
    return canonicalVolumeUUID(request.substr(explicitUnlockVerb.size() + 1));
}

}

AgentUnlockWindow openAgentUnlockWindow(LocalChannels& channels, std::string_view volumeUUID)
{
    std::unique_ptr<ChannelConnection> connection = channels.connect(agent_channel::serviceName());
    if (!connection)
        return {};
    std::optional<std::string> reply =
        connection->request(agent_channel::explicitUnlockRequest(volumeUUID), agent_channel::answerTimeout);
    if (reply != agent_channel::allowedReply)
        return {};
    return AgentUnlockWindow(std::move(connection));
}

void unlockAPFSVolumeBesideAgent(LocalChannels& channels, ToolRunner& tools, const APFSVolume& volume,
                                 const SecretBytes& password)
{
    AgentUnlockWindow window = openAgentUnlockWindow(channels, volume.uuid);
    unlockAPFSVolume(tools, volume.device, password);
}

}
