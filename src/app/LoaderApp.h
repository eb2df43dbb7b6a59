#pragma once
// The program's start-up and end: command line, display choice, single instance, settings, string
// catalogue, the global objects with their workers, the main dialog, the exit code.

#include <string>
#include <vector>

class CLoaderApp {
public:
    // The whole run; the process exit code.
    int Main(int argc, char** argv);

    // Without a display the dialog cannot be shown: an unattended run goes offscreen, an interactive one
    // ends. Returns false (with the message in error) when the program cannot run here.
    static bool ChoosePlatform(bool autoMode, std::string& error, bool& headless);
};
