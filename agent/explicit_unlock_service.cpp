#include "agent/explicit_unlock_service.h"

#include "commands/agent_unlock_window.h"

namespace ferrolatch {

std::unique_ptr<ExplicitUnlockService> ExplicitUnlockService::offer(LocalChannels& channels)
{
    std::unique_ptr<ExplicitUnlockService> service(new ExplicitUnlockService());
    ExplicitUnlockService* answering = service.get();
    service->m_offer = channels.offer(agent_channel::serviceName(),
                                      [answering](std::string_view request) { return answering->answer(request); });
    if (!service->m_offer)
        return nullptr;
    return service;
}

void ExplicitUnlockService::serve(FerrolatchMountGuard* guard)
{
    std::lock_guard lock(m_mutex);
    m_guard = guard;
}

ChannelReply ExplicitUnlockService::answer(std::string_view request)
{
    std::optional<std::string> uuid = agent_channel::parseExplicitUnlockRequest(request);
    std::lock_guard lock(m_mutex);
    if (!uuid || !m_guard)
        return {std::string(agent_channel::refusedReply), nullptr, {}};
    auto window = std::make_shared<FerrolatchMountGuard::ExplicitUnlock>(m_guard->beginExplicitUnlock(*uuid));
    return {std::string(agent_channel::allowedReply), std::move(window), agent_channel::longestWindow};
}

}
