#pragma once

#include "macsim/state.h"

#include <string>
#include <string_view>

namespace macsim {

// The APFS agent's decision for a locked volume that nobody claims: it
// prompts unless it honours per-volume preferences (its executable carries
// "No prompt required") and the volume's entry in its preference domain has a
// "DontUnlockVolume" date still to come. now is "YYYY-MM-DD HH:MM:SS", the
// form of that entry, so the two compare as text.
bool promptWanted(std::string_view agentExecutableBytes, std::string_view preferenceDomainBytes,
                  const std::string& volumeUUID, const std::string& now);

// The line the agent writes to the system log when it prompts.
std::string promptLine(const std::string& volumeUUID);

// Records a prompt where `macsim state` shows it, and writes its log line.
void recordPrompt(const Sysroot& sysroot, const std::string& volumeUUID);

// The user's preference file of the agent, from the machine's recorded login.
std::string agentPreferenceFile(const Sysroot& sysroot);

// Serves prompt requests on a socket of its own until it is killed.
int runPasswordAgent();

}
