// main of the suites that talk to a simulated receiver: GoogleTest's options, then --port COMn.

#include "ComPort.h"

#include <cstdio>
#include <cstring>

std::string g_ComPort;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            g_ComPort = argv[++i];
    if (g_ComPort.empty() && !::testing::GTEST_FLAG(list_tests)) {
        std::fprintf(stderr, "usage: %s [gtest options] --port COMn (a COM port with kavrel-sim behind it)\n",
                     argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
