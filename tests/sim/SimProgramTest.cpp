// kavrel-sim as a program: bad options, several receivers with their own links and files, strict
// mode's exit code and violation list.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Text(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Starts kavrel-sim with args, its standard output on a stream (standard error dropped).
pid_t Spawn(std::vector<std::string> args, FILE*& out) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(open("/dev/null", O_WRONLY), 2);
        close(fds[0]);
        std::vector<char*> argv{const_cast<char*>(KAVREL_SIM_EXE)};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(KAVREL_SIM_EXE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    out = fdopen(fds[0], "r");
    return pid;
}

} // namespace

TEST(SimProgram, SeveralReceiversWithTheirOwnFilesAndTheWorstExitCode) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("kv_sim_prog_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    FILE* out = nullptr;
    pid_t pid = Spawn({"--count", "2", "--strict", "--raw", "--link", dir + "/P", "--stats", dir + "/S",
                       "--flash-out", dir + "/F"},
                      out);
    ASSERT_GT(pid, 0);
    char line[2][256] = {};
    ASSERT_TRUE(std::fgets(line[0], 256, out) && std::fgets(line[1], 256, out));
    for (int i = 0; i < 2; ++i) {
        const std::string link = dir + "/P" + std::to_string(i);
        EXPECT_EQ(std::filesystem::read_symlink(link).string() + "\n", line[i]);
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
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::fclose(out);
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(WEXITSTATUS(std::system(KAVREL_SIM_EXE " --fault bogus 2>/dev/null")), 2);
    EXPECT_NE(Text(dir + "/S0").find("strict violations: 0\n"), std::string::npos) << Text(dir + "/S0");
    EXPECT_NE(
        Text(dir + "/S1").find("violation: firmware: byte outside a sentence: byte 0x55 at host byte 1"),
        std::string::npos)
        << Text(dir + "/S1");
    EXPECT_EQ(std::filesystem::file_size(dir + "/F1"), 0x400000u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/P0")) << "links are taken away at the end";
    std::filesystem::remove_all(dir);
}
