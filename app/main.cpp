#include "app/frame.h"
#include "disk/tool_runner.h"
#include "platform/platform.h"
#include "platform/posix/posix_tool_runner.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ferrolatch;

namespace {

std::string currentDirectory()
{
    std::vector<char> buffer(4096);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}

// Chooses the adapters once; everything below receives them.
int main(int argc, char** argv)
{
    std::vector<std::string> words(argv, argv + argc);

    const char* sysroot = std::getenv("FERROLATCH_SYSROOT");
    PosixToolRunner tools(sysroot ? sysroot : "",
                          {tools::diskutil, tools::hdiutil, tools::sync, tools::ditto, tools::open, tools::pgrep,
                           tools::killall});
    Platform platform {tools, std::cout};

    int status = runCommandLine(words, currentDirectory(), platform, std::cerr);
    std::cout.flush();
    return status;
}
