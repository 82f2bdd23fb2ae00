#pragma once

#include <optional>
#include <string>
#include <vector>

namespace macsim {

struct ProcessInfo {
    int pid = 0;
    unsigned uid = 0;  // real user id
    std::string executable; // where /proc says its program lies
    std::string name;       // the program's file name
};

// Processes whose executable lies inside root, so that virtual Macs side by
// side never see each other's processes.
std::vector<ProcessInfo> processesInside(const std::string& root);

// A process other than this one whose working directory, root or open files
// lie at or below path: what makes a volume busy.
std::optional<ProcessInfo> processUsing(const std::string& path);

}
