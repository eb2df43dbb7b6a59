// kavrel-line: the production station. Uploads one image to many receivers at once, verifies each and keeps
// one record per unit.

#include "line/LineOptions.h"
#include "line/Station.h"

#include <cstdio>

#ifndef PROGRAM_VERSION
#define PROGRAM_VERSION "0.1.0"
#endif

int main(int argc, char** argv) {
    LineOptions options;
    std::string error;
    if (!ParseLineOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "kavrel-line: %s\n%s", error.c_str(), LineUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(LineUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("kavrel-line %s\n", PROGRAM_VERSION);
        return 0;
    }
    return RunStation(options, stdout);
}
