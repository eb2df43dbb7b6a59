// kavrel-sim as a program: help, the slave path on the first line, the link, signals, flash and statistics
// files, exit codes.

#include "SimDriver.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
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

TEST(SimProgram, HelpDocumentsEveryOption) {
    std::string err = TempPath("sim_help.err");
    Child c = Spawn({"--help"}, err);
    std::string text = ReadAll(c.out);
    std::fclose(c.out);
    EXPECT_EQ(WaitExit(c.pid), 0);
    for (const char* opt : {"--link",
                            "--raw",
                            "--once",
                            "--once-linger",
                            "--transcript",
                            "--stats",
                            "--start",
                            "--fw-baud",
                            "--type",
                            "--model",
                            "--version",
                            "--options",
                            "--serial",
                            "--rio-nak",
                            "--nmea-noise",
                            "--pfld-baud",
                            "--pfld-version",
                            "--pfld-no-rec-wait",
                            "--hello-interval",
                            "--flash-cfi",
                            "--flash-maker",
                            "--flash-device",
                            "--flash-size",
                            "--flash-short",
                            "--boot-reload",
                            "--sector-size",
                            "--boot-sectors",
                            "--flash-in",
                            "--flash-out",
                            "--erase-ms",
                            "--program-ms",
                            "--record-timeout",
                            "--finish-delay",
                            "--reboot-ms",
                            "--loader-idle-reboot",
                            "--fault",
                            "silent",
                            "ldr-only",
                            "erase-fail",
                            "size-exceeded",
                            "bad-csum",
                            "no-ack",
                            "no-complete",
                            "noise",
                            "hangup",
                            "stall",
                            "slow-erase"})
        EXPECT_NE(text.find(opt), std::string::npos) << opt;
    std::remove(err.c_str());
}

TEST(SimProgram, BadOptionsEndWithCodeTwoAndAMessage) {
    std::string err = TempPath("sim_bad.err");
    Child c = Spawn({"--fault", "bogus"}, err);
    EXPECT_EQ(ReadAll(c.out), "");
    std::fclose(c.out);
    EXPECT_EQ(WaitExit(c.pid), 2);
    EXPECT_NE(FileText(err).find("unknown fault: bogus"), std::string::npos);
    std::remove(err.c_str());
}

TEST(SimProgram, ServesOnItsSlaveAndLinkDumpsOnSignalAndReportsAtTheEnd) {
    std::string link = TempPath("sim_prog_link");
    std::string flashIn = TempPath("sim_prog_in.bin");
    std::string flashOut = TempPath("sim_prog_out.bin");
    std::string stats = TempPath("sim_prog_stats.txt");
    std::string err = TempPath("sim_prog.err");
    std::remove(flashOut.c_str());
    {
        // A preloaded flash with a firmware version at its place.
        Bytes img = FirmwareImage(0x9000, "Q123", 1, 2);
        std::ofstream out(flashIn, std::ios::binary);
        out.write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    }
    Child c = Spawn(
        {"--raw", "--link", link, "--flash-in", flashIn, "--flash-out", flashOut, "--stats", stats}, err);
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

    kill(c.pid, SIGTERM);
    EXPECT_EQ(WaitExit(c.pid), 0);
    std::fclose(c.out);
    std::string s = FileText(stats);
    EXPECT_NE(s.find("bytes from host: 12 "), std::string::npos) << s;
    EXPECT_NE(s.find("host reactions:"), std::string::npos);
    std::string flash = FileText(flashOut);
    ASSERT_EQ(flash.size(), 0x400000u);
    EXPECT_EQ(flash.substr(0x8000 + 1024 + 52, 4), "Q123");
    EXPECT_EQ(static_cast<uint8_t>(flash[0x9000]), 0xFF);
    struct stat lst {};
    EXPECT_NE(lstat(link.c_str(), &lst), 0) << "the link is taken away at the end";
    for (const std::string& f : {flashIn, flashOut, stats, err})
        std::remove(f.c_str());
}

TEST(SimProgram, StatisticsGoToStandardErrorWithoutAStatsFile) {
    std::string err = TempPath("sim_prog2.err");
    Child c = Spawn({"--raw", "--fault", "hangup:1"}, err);
    std::string path = ReadLine(c.out);
    ASSERT_FALSE(path.empty());
    kill(c.pid, SIGINT);
    EXPECT_EQ(WaitExit(c.pid), 0);
    std::fclose(c.out);
    EXPECT_NE(FileText(err).find("uploads completed: 0"), std::string::npos);
    std::remove(err.c_str());
}
