#pragma once

#include "platform/paths.h"

#include <string>

namespace ferrolatch {

// Where things are, for a program running from its application bundle. On the
// virtual Mac the home directory and the system files lie inside the sysroot;
// with an empty sysroot the system files are the host's own.
class PosixPaths final : public Paths {
public:
    PosixPaths(std::string bundle, std::string sysroot, std::string home);

    // The bundle that holds an executable at BUNDLE/Contents/MacOS/NAME; empty otherwise.
    static std::string bundleOfExecutable(const std::string& executablePath);

    std::string mainBundle() override { return m_bundle; }
    std::optional<std::string> bundleResource(std::string_view name, std::string_view type) override;
    std::string applicationSupportDirectory() override;
    std::string systemFile(std::string_view path) override { return m_sysroot + std::string(path); }
    // The user's "Library/Group Containers/<identifier>", made private on first use.
    std::optional<std::string> groupContainer(std::string_view groupIdentifier) override;
    // $TMPDIR when set, as on a Mac, else /tmp.
    std::string temporaryDirectory() override;

private:
    std::string m_bundle;
    std::string m_sysroot;
    std::string m_home;
};

}
