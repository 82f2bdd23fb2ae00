#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace ferrolatch {

struct Platform;

// How UI-marked handlers are entered: the main-thread application context.
// The default runs the handler directly.
using ApplicationContext = std::function<void(const std::function<void()>& handler)>;

// The main-thread application context. On entry it stops the process when not
// on mainThread (a programming error), fails with the one-line reason when no
// user interface is available, and initialises the user interface once; then
// it runs the handler. Non-UI handlers never pass through it, so they never
// start the windowing system.
ApplicationContext mainThreadApplicationContext(std::thread::id mainThread, std::function<void()> initialiseUi,
                                                std::optional<std::string> unavailableReason);

struct Invocation;

// Prints the usage text; returns the exit status of a wrong command line, 64.
int reportUsage(std::ostream& error);

// Runs a parsed command line that is not a usage error to its exit status: 0
// on success, 1 after printing "ferrolatch-proof: <description>". With
// servicesUnavailable set (no Mac to serve the platform), every command that
// would run a handler fails with that one line instead.
int runInvocation(const Invocation& invocation, Platform& platform, std::ostream& error,
                  const ApplicationContext& applicationContext = {},
                  const std::optional<std::string>& servicesUnavailable = std::nullopt);

// Parses and runs one command line to its exit status: 0 on success, 1 after printing
// "ferrolatch-proof: <description>", 64 after printing the usage text. With
// servicesUnavailable set (no Mac to serve the platform), every command that
// would run a handler fails with that one line instead.
int runCommandLine(std::span<const std::string> words, std::string_view workingDirectory, Platform& platform,
                   std::ostream& error, const ApplicationContext& applicationContext = {},
                   const std::optional<std::string>& servicesUnavailable = std::nullopt);

}
