#pragma once

#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace ferrolatch {

struct Platform;

// How UI-marked handlers are entered: the main-thread application context.
// The default runs the handler directly.
using ApplicationContext = std::function<void(const std::function<void()>& handler)>;

// Runs one command line to its exit status: 0 on success, 1 after printing
// "ferrolatch-proof: <description>", 64 after printing the usage text.
int runCommandLine(std::span<const std::string> words, std::string_view workingDirectory, Platform& platform,
                   std::ostream& error, const ApplicationContext& applicationContext = {});

}
