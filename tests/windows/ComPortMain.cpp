// main of the suites that talk to a simulated receiver: GoogleTest's options, then --port COMn.

#include "ComPort.h"

#include <cstdio>
#include <cstring>

std::string g_ComPort;
std::vector<std::pair<std::string, std::string>> g_HangupPorts;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            g_ComPort = argv[++i];
        else if (std::strcmp(argv[i], "--hangup") == 0 && i + 1 < argc) {
            const std::string row = argv[++i];
            const size_t equals = row.find('=');
            if (equals != std::string::npos)
                g_HangupPorts.emplace_back(row.substr(0, equals), row.substr(equals + 1));
        }
    if (g_ComPort.empty() && !::testing::GTEST_FLAG(list_tests)) {
        std::fprintf(
            stderr,
            "usage: %s [gtest options] --port COMn [--hangup PHASE=COMm]... (COM ports with kavrel-sim "
            "behind them)\n",
            argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
