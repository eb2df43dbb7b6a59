// kavrel-sim as a program: bad options, several receivers with their own links and files, strict
// mode's exit code and violation list.

#include "Process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

TEST(SimProgram, SeveralReceiversWithTheirOwnFilesAndTheWorstExitCode) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("kv_sim_prog_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    CChildProcess sim;
    ASSERT_TRUE(sim.Start({KAVREL_SIM_EXE, "--count", "2", "--strict", "--raw", "--link", dir + "/P",
                           "--stats", dir + "/S", "--flash-out", dir + "/F"},
                          {}));
    ASSERT_TRUE(sim.FirstLine(10000));
    for (int i = 0; i < 2; ++i) {
        const std::string link = dir + "/P" + std::to_string(i);
        EXPECT_TRUE(sim.WaitForOutput(std::filesystem::read_symlink(link).string() + "\n", 10000));
        // Receiver 1 hears a stray go-ahead before the query; each answers its query.
        int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
        const std::string q = std::string(i == 1 ? "\x55" : "") + "$PQELQ,RID\r\n";
        ASSERT_EQ(write(fd, q.data(), q.size()), static_cast<ssize_t>(q.size()));
        std::string reply;
        char c = 0;
        while (reply.find('\n') == std::string::npos && read(fd, &c, 1) == 1)
            reply.push_back(c);
        EXPECT_EQ(reply.rfind("$PQELR,RID,", 0), 0u) << reply;
        close(fd);
    }
    EXPECT_EQ(sim.Stop(10000), 4);
    EXPECT_EQ(WEXITSTATUS(std::system(KAVREL_SIM_EXE " --fault bogus 2>/dev/null")), 2);
    EXPECT_NE(ReadAll(dir + "/S0").find("strict violations: 0\n"), std::string::npos) << ReadAll(dir + "/S0");
    EXPECT_NE(
        ReadAll(dir + "/S1").find("violation: firmware: byte outside a sentence: byte 0x55 at host byte 1"),
        std::string::npos)
        << ReadAll(dir + "/S1");
    EXPECT_EQ(std::filesystem::file_size(dir + "/F1"), 0x400000u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/P0")) << "links are taken away at the end";
    std::filesystem::remove_all(dir);
}
