#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace ferrolatch::testing {

// A temporary folder of small shell scripts that stand in for system tools.
class ScriptDirectory {
public:
    ScriptDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ferrolatch-scripts-XXXXXX").string();
        m_path = mkdtemp(pattern.data());
    }
    ~ScriptDirectory() { std::filesystem::remove_all(m_path); }
    ScriptDirectory(const ScriptDirectory&) = delete;
    ScriptDirectory& operator=(const ScriptDirectory&) = delete;

    std::string script(const std::string& name, const std::string& body) const
    {
        std::string path = m_path + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        return path;
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}
