#include "app/frame.h"

#include "agent/ferrolatch_agent.h"
#include "app/command_line.h"
#include "app/prompt_suppression.h"
#include "common/errors.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace ferrolatch {

namespace {

void runHandler(const Invocation& invocation, Platform& platform, const ApplicationContext& applicationContext,
                const std::optional<std::string>& servicesUnavailable)
{
    if (invocation.kind == Invocation::Kind::Agent) {
        if (servicesUnavailable)
            throw ProofError(*servicesUnavailable);
        auto agent = [&] {
            // The agent probes the capability itself, once per run.
            APFSPromptSuppression marker(promptSuppressionServices(platform), APFSPromptSuppression::Probe::ByCaller);
            runAgent(platform, marker, [&] { return apfsPromptSuppressionCapable(platform.files, platform.paths); });
        };
        if (applicationContext)
            applicationContext(agent);
        else
            agent();
        return;
    }

    if (!invocation.argumentError.empty())
        throw ProofError(invocation.argumentError);
    const Command& command = *invocation.command;
    if (!command.handler)
        throw ProofError("this build does not provide the " + std::string(command.word) + " command yet");
    // Every handler reaches a Mac service; none starts without one.
    if (servicesUnavailable)
        throw ProofError(*servicesUnavailable);

    auto handler = [&] { command.handler(platform, invocation.arguments); };
    if (command.ui == Interface::Windows && applicationContext)
        applicationContext(handler);
    else
        handler();
}

}

ApplicationContext mainThreadApplicationContext(std::thread::id mainThread, std::function<void()> initialiseUi,
                                                std::optional<std::string> unavailableReason)
{
    auto initialised = std::make_shared<bool>(false);
    return [=](const std::function<void()>& handler) {
        if (std::this_thread::get_id() != mainThread) {
            std::fputs("ferrolatch-proof: a user-interface command ran off the main thread\n", stderr);
            std::abort();
        }
        if (unavailableReason)
            throw ProofError(*unavailableReason);
        if (!*initialised) {
            if (initialiseUi)
                initialiseUi();
            *initialised = true;
        }
        handler();
    };
}

int reportUsage(std::ostream& error)
{
    error << usageText() << std::flush;
    return 64;
}

int runCommandLine(std::span<const std::string> words, std::string_view workingDirectory, Platform& platform,
                   std::ostream& error, const ApplicationContext& applicationContext,
                   const std::optional<std::string>& servicesUnavailable)
{
    Invocation invocation = parseCommandLine(words, workingDirectory);
    if (invocation.kind == Invocation::Kind::Usage)
        return reportUsage(error);
    return runInvocation(invocation, platform, error, applicationContext, servicesUnavailable);
}

int runInvocation(const Invocation& invocation, Platform& platform, std::ostream& error,
                  const ApplicationContext& applicationContext, const std::optional<std::string>& servicesUnavailable)
{
    try {
        runHandler(invocation, platform, applicationContext, servicesUnavailable);
    } catch (const std::exception& failure) {
        error << "ferrolatch-proof: " << failure.what() << '\n' << std::flush;
        return 1;
    }
    return 0;
}

}
