#pragma once

#include "macsim/machine.h"

#include <optional>
#include <string>
#include <vector>

namespace macsim {

// One call of a stand-in tool: its arguments (without argv[0]) and, for the
// invocations that take a passphrase on standard input, what arrived there up
// to the first line feed.
struct Invocation {
    Sysroot sysroot;
    std::string tool;
    std::vector<std::string> arguments;
    std::optional<SecretBytes> input;
    bool corruptCopy = false; // a fault asked ditto to damage what it copies
};

// Tools that change the machine run under its lock with the state loaded and
// saved around them; the others run without it.
void runDiskutil(Invocation& call, Machine& machine);
void runHdiutil(Invocation& call, Machine& machine);
int runOpen(Invocation& call);
void runDitto(Invocation& call);
void runSync(Invocation& call);
int runPgrep(Invocation& call);
int runKillall(Invocation& call);

// MediaName, TotalSize, BusProtocol or DeviceTreePath of a disk.
void setDiskProperty(Disk& disk, const std::string& key, const std::string& value);

// The entry point shared by every stand-in executable, chosen by its name.
int standInMain(int argc, char** argv);

}
