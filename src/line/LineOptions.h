#pragma once
// The command line of kavrel-line.

#include "line/StationSlot.h"

#include <string>
#include <vector>

struct LineOptions {
    StationConfig config;
    std::vector<std::string> ports; // paths and globs; in watch mode the globs to watch
    std::string json;
    std::string station; // empty: the host name
    std::string operatorName;
    std::string lot;
    bool help = false;
    bool version = false;
};

// False with a message in error for a command line that cannot run.
bool ParseLineOptions(int argc, char** argv, LineOptions& options, std::string& error);
std::string LineUsage();
