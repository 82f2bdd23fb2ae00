#pragma once

#include <map>
#include <string>
#include <vector>

namespace ferrolatch::e2e {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs an executable with exactly these arguments and extra environment
// variables (on top of this process's environment), optionally feeding stdin.
RunResult run(const std::string& executable, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment = {}, const std::string* standardInput = nullptr);

// A fresh virtual Mac in a temporary directory, removed again on destruction.
class VirtualMac {
public:
    explicit VirtualMac(const std::vector<std::string>& initArguments = {});
    ~VirtualMac();
    VirtualMac(const VirtualMac&) = delete;
    VirtualMac& operator=(const VirtualMac&) = delete;

    const std::string& sysroot() const { return m_sysroot; }
    std::map<std::string, std::string> environment() const; // FERROLATCH_SYSROOT and friends

    RunResult macsim(const std::vector<std::string>& arguments) const; // the control tool
    RunResult ferrolatch(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& extra = {},
                   const std::string* standardInput = nullptr) const; // the product binary
    // A stand-in tool by its Mac path, e.g. "/usr/sbin/diskutil".
    RunResult tool(const std::string& macPath, const std::vector<std::string>& arguments,
             const std::string* standardInput = nullptr) const;

    // Fails the test (via an exception) when the command does not exit 0.
    std::string macsimOrThrow(const std::vector<std::string>& arguments) const;

private:
    std::string m_sysroot;
};

// The programs under test, from this build or from the one FERROLATCH_E2E_PRODUCTS
// names (the sanitizer build runs these tests against its own programs).
std::string productBuild();
std::string ferrolatchBundle(); // Ferrolatch.app
std::string ferrolatchExecutable(); // inside Ferrolatch.app
std::string macsimExecutable();
std::string arbitrationClientExecutable();
// Whether those programs carry AddressSanitizer, which reserves terabytes of
// address space at start.
bool productsAreSanitized();
std::string readTextFile(const std::string& path);

}
