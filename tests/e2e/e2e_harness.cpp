#include "tests/e2e/e2e_harness.h"

#include "platform/posix/posix_tool_runner.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ferrolatch::e2e {

std::string productBuild()
{
    const char* other = std::getenv("FERROLATCH_E2E_PRODUCTS");
    return other && *other ? other : FERROLATCH_E2E_BUILD;
}

std::string ferrolatchBundle() { return productBuild() + "/Ferrolatch.app"; }
std::string ferrolatchExecutable() { return ferrolatchBundle() + "/Contents/MacOS/ferrolatch-proof"; }
std::string macsimExecutable() { return productBuild() + "/macsim/macsim"; }
std::string arbitrationClientExecutable() { return productBuild() + "/tests/e2e/e2e_arbitration_client"; }

bool productsAreSanitized()
{
    std::ifstream cache(productBuild() + "/CMakeCache.txt");
    for (std::string line; std::getline(cache, line);)
        if (line == "FERROLATCH_SANITIZE:BOOL=ON")
            return true;
    return false;
}

std::string readTextFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

RunResult run(const std::string& executable, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment, const std::string* standardInput)
{
    // env(1) sets the variables without a shell, so every argument stays one word.
    std::vector<std::string> envArguments;
    for (const auto& [name, value] : environment)
        envArguments.push_back(name + "=" + value);
    envArguments.push_back(executable);
    envArguments.insert(envArguments.end(), arguments.begin(), arguments.end());

    PosixToolRunner runner;
    SecretBytes input = standardInput ? SecretBytes::copyOf(*standardInput) : SecretBytes();
    ToolOutcome outcome = runner.launch("/usr/bin/env", envArguments, standardInput ? &input : nullptr);
    return {outcome.status, outcome.standardOutput, outcome.standardError};
}

VirtualMac::VirtualMac(const std::vector<std::string>& initArguments)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-e2e-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary sysroot");
    m_sysroot = pattern;
    std::vector<std::string> arguments {"init"};
    arguments.insert(arguments.end(), initArguments.begin(), initArguments.end());
    macsimOrThrow(arguments);
}

VirtualMac::~VirtualMac()
{
    // No agent process of this virtual Mac may outlive it.
    macsim({"agent", "stop"});
    // Leave the sysroot behind for a post-mortem when asked to.
    if (std::getenv("FERROLATCH_E2E_KEEP"))
        return;
    std::error_code ignored;
    // Emulated immutable flags are only attributes; plain removal works.
    std::filesystem::remove_all(m_sysroot, ignored);
}

std::map<std::string, std::string> VirtualMac::environment() const
{
    return {{"FERROLATCH_SYSROOT", m_sysroot}};
}

RunResult VirtualMac::macsim(const std::vector<std::string>& arguments) const
{
    return run(macsimExecutable(), arguments, environment());
}

std::string VirtualMac::macsimOrThrow(const std::vector<std::string>& arguments) const
{
    RunResult result = macsim(arguments);
    if (result.status != 0) {
        std::string command = "macsim";
        for (const std::string& argument : arguments)
            command += " " + argument;
        throw std::runtime_error(command + " exited " + std::to_string(result.status) + ": " + result.err);
    }
    return result.out;
}

RunResult VirtualMac::ferrolatch(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& extra,
                           const std::string* standardInput) const
{
    auto environmentWithExtra = environment();
    for (const auto& [name, value] : extra)
        environmentWithExtra[name] = value;
    return run(ferrolatchExecutable(), arguments, environmentWithExtra, standardInput);
}

RunResult VirtualMac::tool(const std::string& macPath, const std::vector<std::string>& arguments,
                     const std::string* standardInput) const
{
    return run(m_sysroot + macPath, arguments, environment(), standardInput);
}

}
