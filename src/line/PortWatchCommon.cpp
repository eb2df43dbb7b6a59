// The platform-neutral part of finding ports: the platform's file (PortWatch.cpp, PortWatchWin32.cpp)
// says what a pattern matches.

#include "line/PortWatch.h"

#include <utility>

std::vector<std::string> ExpandPorts(const std::vector<std::string>& args) {
    std::vector<std::string> paths;
    for (const std::string& arg : args) {
        if (arg.find_first_of("*?[") == std::string::npos) {
            paths.push_back(arg);
            continue;
        }
        for (std::string& p : MatchGlob(arg))
            paths.push_back(std::move(p));
    }
    return paths;
}
