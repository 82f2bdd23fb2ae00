#pragma once

#include <stdexcept>
#include <string>

namespace ferrolatch {

// The program's own failures. what() is the fixed English text, unchanged.
class ProofError : public std::runtime_error {
public:
    explicit ProofError(const std::string& message) : std::runtime_error(message) {}
};

// A platform service's failure, reported the way the Mac reports NSError,
// OSStatus or errno: a domain, a code, and the platform's own description,
// which is what the command frame prints.
class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string domain, long code, const std::string& description)
        : std::runtime_error(description), m_domain(std::move(domain)), m_code(code) {}

    // errno failures, described as the platform describes them.
    static PlatformError fromErrno(int number, const std::string& operation);

    const std::string& domain() const { return m_domain; }
    long code() const { return m_code; }
    bool is(const std::string& domain, long code) const { return m_domain == domain && m_code == code; }

private:
    std::string m_domain;
    long m_code;
};

inline constexpr const char* posixErrorDomain = "NSPOSIXErrorDomain";

}
