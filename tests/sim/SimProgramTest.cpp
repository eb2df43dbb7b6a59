// kavrel-sim as a program: help, the slave path on the first line, the link, signals, flash and statistics
// files, exit codes.

#include "SimDriver.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
};

Child Spawn(const std::vector<std::string>& args, const std::string& errFile) {
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        FILE* e = std::fopen(errFile.c_str(), "w");
        if (e)
            dup2(fileno(e), 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        std::string exe = KAVREL_SIM_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fdopen(fds[0], "r")};
}

std::string ReadLine(FILE* f) {
    char buf[512];
    if (!f || !std::fgets(buf, sizeof buf, f))
        return "";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

std::string ReadAll(FILE* f) {
    std::string s;
    char buf[4096];
    size_t n;
    while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

int WaitExit(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(5000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

class SimProgram : public ::testing::Test {
protected:
    void TearDown() override {
        if (c.pid > 0)
            Exit(SIGKILL);
        for (const std::string& f : m_Files)
            std::remove(f.c_str());
    }
    // A file name of this test, removed at its end.
    std::string File(const std::string& name) {
        m_Files.push_back(TempPath(name));
        return m_Files.back();
    }
    // Starts kavrel-sim with args, its standard error into a file of this test.
    void Start(const std::vector<std::string>& args) {
        m_Err = File("sim_prog.err");
        c = Spawn(args, m_Err);
    }
    // Sends sig (none for 0), then waits for the exit code and closes the output.
    int Exit(int sig = 0) {
        if (sig != 0)
            kill(c.pid, sig);
        int code = WaitExit(c.pid);
        c.pid = -1;
        if (c.out)
            std::fclose(c.out);
        c.out = nullptr;
        return code;
    }
    std::string ErrText() { return FileText(m_Err); }

    Child c;

private:
    std::string m_Err;
    std::vector<std::string> m_Files;
};

TEST_F(SimProgram, HelpDocumentsEveryOption) {
    Start({"--help"});
    std::string text = ReadAll(c.out);
    EXPECT_EQ(Exit(), 0);
    std::istringstream options(
        "--link --raw --once --once-linger --transcript --stats --start --fw-baud --type --model --version "
        "--options --serial --rio-nak --nmea-noise --pfld-baud --pfld-version --pfld-no-rec-wait "
        "--hello-interval --flash-cfi --flash-maker --flash-device --flash-size --flash-short --boot-reload "
        "--sector-size --boot-sectors --flash-in --flash-out --erase-ms --program-ms --record-timeout "
        "--finish-delay --reboot-ms --loader-idle-reboot --fault silent ldr-only erase-fail size-exceeded "
        "bad-csum no-ack no-complete noise hangup stall slow-erase");
    for (std::string opt; options >> opt;)
        EXPECT_NE(text.find(opt), std::string::npos) << opt;
}

TEST_F(SimProgram, BadOptionsEndWithCodeTwoAndAMessage) {
    Start({"--fault", "bogus"});
    EXPECT_EQ(ReadAll(c.out), "");
    EXPECT_EQ(Exit(), 2);
    EXPECT_NE(ErrText().find("unknown fault: bogus"), std::string::npos);
}

TEST_F(SimProgram, ServesOnItsSlaveAndLinkDumpsOnSignalAndReportsAtTheEnd) {
    const std::string link = File("sim_prog_link"), flashIn = File("sim_prog_in.bin");
    const std::string flashOut = File("sim_prog_out.bin"), stats = File("sim_prog_stats.txt");
    std::remove(flashOut.c_str());
    {
        // A preloaded flash with a firmware version at its place.
        Bytes img = FirmwareImage(0x9000, "Q123", 1, 2);
        std::ofstream out(flashIn, std::ios::binary);
        out.write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    }
    Start({"--raw", "--link", link, "--flash-in", flashIn, "--flash-out", flashOut, "--stats", stats});
    std::string path = ReadLine(c.out);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    CHostPort port;
    ASSERT_TRUE(port.Open(link));
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,Q123"));

    kill(c.pid, SIGUSR1);
    struct stat st {};
    EXPECT_TRUE(
        CSimRunner::WaitFor([&] { return stat(flashOut.c_str(), &st) == 0 && st.st_size == 0x400000; }));
    port.Close();

    EXPECT_EQ(Exit(SIGTERM), 0);
    std::string s = FileText(stats);
    EXPECT_NE(s.find("bytes from host: 12 "), std::string::npos) << s;
    EXPECT_NE(s.find("host reactions:"), std::string::npos);
    std::string flash = FileText(flashOut);
    ASSERT_EQ(flash.size(), 0x400000u);
    EXPECT_EQ(flash.substr(0x8000 + 1024 + 52, 4), "Q123");
    EXPECT_EQ(static_cast<uint8_t>(flash[0x9000]), 0xFF);
    struct stat lst {};
    EXPECT_NE(lstat(link.c_str(), &lst), 0) << "the link is taken away at the end";
}

TEST_F(SimProgram, StatisticsGoToStandardErrorWithoutAStatsFile) {
    Start({"--raw", "--fault", "hangup:1"});
    ASSERT_FALSE(ReadLine(c.out).empty());
    EXPECT_EQ(Exit(SIGINT), 0);
    EXPECT_NE(ErrText().find("uploads completed: 0"), std::string::npos);
}
