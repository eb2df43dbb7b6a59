// The program as a process against the simulator as a process: exit codes, the simulator's flash, standard
// output and the log file named with "l".

#include "ImageWriter.h"
#include "Process.h"
#include "TestDir.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const std::string BIN = KV_BIN_DIR;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class EndToEnd : public ::testing::Test {
protected:
    // The environment of an unattended run: no display at all, settings and lock in the test's folder.
    EnvChanges Env() const {
        return {{"DISPLAY", std::nullopt},         {"WAYLAND_DISPLAY", std::nullopt},
                {"QT_QPA_PLATFORM", std::nullopt}, {"XDG_CONFIG_HOME", m_Dir.File("config")},
                {"TMPDIR", m_Dir.Path()},          {"XDG_RUNTIME_DIR", m_Dir.Path()}};
    }

    std::string Image(const std::string& name = "sample.bin", uint32_t fwSize = 0x20000) {
        UnionParams params;
        params.fwSize = fwSize;
        Bytes bytes;
        std::string error;
        EXPECT_TRUE(BuildUnionImage(params, bytes, error)) << error;
        std::string path = m_Dir.File(name);
        EXPECT_TRUE(WriteFile(path, bytes.data(), bytes.size(), error)) << error;
        return path;
    }

    // Starts kavrel-sim with fast, unpaced options plus extra; returns the port path.
    std::string StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {BIN + "/kavrel-sim",
                                         "--raw",
                                         "--once",
                                         "--flash-out",
                                         m_Dir.File("flash.bin"),
                                         "--stats",
                                         m_Dir.File("stats"),
                                         "--finish-delay",
                                         "200",
                                         "--reboot-ms",
                                         "300",
                                         "--erase-ms",
                                         "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        EXPECT_TRUE(m_Sim.Start(argv, {}));
        std::optional<std::string> line = m_Sim.FirstLine(10000);
        EXPECT_TRUE(line.has_value());
        return line.value_or("");
    }

    ProcessResult Kavrel(const std::vector<std::string>& params, unsigned timeoutMs = 60000) {
        std::vector<std::string> argv = {BIN + "/kavrel"};
        argv.insert(argv.end(), params.begin(), params.end());
        return RunProcess(argv, Env(), timeoutMs);
    }

    CTestDir m_Dir;
    CChildProcess m_Sim;
};

} // namespace

TEST_F(EndToEnd, UploadCompletesAndTheFlashHoldsTheImage) {
    std::string image = Image();
    std::string port = StartSim();
    std::string log = m_Dir.File("run.log");
    ProcessResult r = Kavrel({"-i", image, "-p", port, "-m", "-n", "-l", log});
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out;
    // With the port closed the simulator ends and writes its flash.
    EXPECT_EQ(m_Sim.Wait(20000), 0);
    std::string flash = ReadAll(m_Dir.File("flash.bin"));
    std::string bytes = ReadAll(image);
    ASSERT_EQ(flash.size(), 4u * 1024 * 1024);
    EXPECT_TRUE(flash.compare(0, bytes.size(), bytes) == 0);
    EXPECT_EQ(flash.find_first_not_of('\xFF', bytes.size()), std::string::npos);

    // Standard output: the status lines and plain progress lines (it is not a terminal).
    EXPECT_NE(r.out.find("Check image file name - " + image), std::string::npos);
    EXPECT_NE(r.out.find("Erasing FLASH memory"), std::string::npos);
    EXPECT_NE(r.out.find("Programming 100%"), std::string::npos);
    EXPECT_NE(r.out.find("Upload complete\n"), std::string::npos);
    EXPECT_NE(r.out.find("(exit code 0)"), std::string::npos);
    EXPECT_EQ(r.out.find('\r'), std::string::npos);

    // The log file holds the job from its first to its last line, in CR LF lines.
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("\tOpen image file name - " + image + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t*** FLASH Upload ****\r\n"), std::string::npos);
    size_t complete = text.find("\tupload complete\r\n");
    EXPECT_NE(complete, std::string::npos);
    // Lines the worker wrote after the dialog had closed (its restart phases, its closing line) are there
    // too: the file was complete when the program ended.
    size_t after = text.find("\tcontinue\r\n");
    EXPECT_NE(after, std::string::npos);
    size_t closing = text.rfind("\t**********************\r\n");
    EXPECT_NE(closing, std::string::npos);
    EXPECT_GT(closing, after);
    EXPECT_GT(after, complete);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(EndToEnd, MissingPortEndsWithTwo) {
    ProcessResult r = Kavrel({"-i", Image(), "-p", "/dev/kavrel-no-such-port", "-m", "-n"}, 20000);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("Port not found: /dev/kavrel-no-such-port"), std::string::npos);
}

TEST_F(EndToEnd, CorruptImageEndsWithThree) {
    std::string image = Image();
    // One byte changed inside the main firmware breaks its checksum.
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0x9000);
    f.put('\x5A');
    f.seekp(0x9001);
    f.put('\xA5');
    f.close();
    std::string port = StartSim();
    std::string log = m_Dir.File("bad.log");
    ProcessResult r = Kavrel({"-i", image, "-p", port, "-m", "-n", "-l", log}, 20000);
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_NE(r.out.find("ERROR: corrupted file"), std::string::npos);
    EXPECT_NE(ReadAll(log).find("\tERROR: image file corrupted\r\n"), std::string::npos);
}

TEST_F(EndToEnd, SilentReceiverEndsWithFour) {
    std::string port = StartSim({"--fault", "silent"});
    std::string log = m_Dir.File("silent.log");
    ProcessResult r = Kavrel({"-i", Image(), "-p", port, "-m", "-n", "-l", log}, 30000);
    EXPECT_EQ(r.exitCode, 4) << r.out;
    EXPECT_NE(r.out.find("no receiver answered"), std::string::npos);
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("\tCheck receiver\r\n"), std::string::npos);
    EXPECT_NE(text.find("\ttimeout\r\n"), std::string::npos);
}

TEST_F(EndToEnd, FailedUploadEndsWithFive) {
    std::string port = StartSim({"--fault", "erase-fail:2"});
    std::string log = m_Dir.File("fail.log");
    ProcessResult r = Kavrel({"-i", Image(), "-p", port, "-m", "-n", "-l", log}, 60000);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 5) << r.out;
    EXPECT_NE(r.out.find("ERROR: upload failed"), std::string::npos);
    std::string text = ReadAll(log);
    size_t failed = text.find("\tERROR: upload failed\r\n");
    EXPECT_NE(failed, std::string::npos);
    // The job's closing line is there: the file was complete when the program ended.
    size_t closing = text.rfind("\t**********************\r\n");
    EXPECT_NE(closing, std::string::npos);
    EXPECT_GT(closing, failed);
    EXPECT_NE(text.find("\trx tx threads closed\r\n"), std::string::npos);
}

TEST_F(EndToEnd, LogWithoutNameIsTerminalLogInTheWorkingDirectory) {
    // Run from the test's folder so that terminal.log lands there.
    std::string cwd = m_Dir.Path();
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "cd '" + cwd + "' && exec '" + BIN +
                                         "/kavrel' -i nothing.bin -p /dev/none -m -n -l"};
    ProcessResult r = RunProcess(argv, Env(), 20000);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(access((cwd + "/terminal.log").c_str(), F_OK), 0);
}

TEST_F(EndToEnd, HelpVersionAndOverlongTexts) {
    ProcessResult help = Kavrel({"--help"}, 10000);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("-i IMAGE"), std::string::npos);
    ProcessResult version = Kavrel({"--version"}, 10000);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "Kavrel Ver. 2.06\n");
    ProcessResult longPort = Kavrel({"-i", "x.bin", "-p", std::string(300, 'p'), "-n"}, 10000);
    EXPECT_EQ(longPort.exitCode, 2);
}

TEST_F(EndToEnd, InteractiveWithoutDisplayRefusesToStart) {
    ProcessResult r = Kavrel({"-n"}, 10000);
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(EndToEnd, SecondInstanceEndsWithZero) {
    EnvChanges env = Env();
    env["QT_QPA_PLATFORM"] = "offscreen";
    CChildProcess first;
    ASSERT_TRUE(first.Start({BIN + "/kavrel"}, env));
    // The first one holds the lock once its lock file exists.
    std::string lock = m_Dir.File("TZ5_4_FW_loader_one_instance__MUTEX.lock");
    for (int i = 0; i < 500 && access(lock.c_str(), F_OK) != 0; ++i)
        usleep(20000);
    ASSERT_EQ(access(lock.c_str(), F_OK), 0);
    ProcessResult second = RunProcess({BIN + "/kavrel", "-i", "a.bin", "-p", "/dev/none"}, env, 10000);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(first.Wait(200) == -1) << "the first instance must still run";
    first.Stop();
}

TEST_F(EndToEnd, PortWithoutPermissionSaysSoOnce) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    std::string image = Image();
    chmod(m_Dir.Path().c_str(), 0777);
    chmod(image.c_str(), 0644);
    std::string port = StartSim();
    std::vector<std::string> argv = {"/usr/bin/setpriv",
                                     "--reuid=65534",
                                     "--regid=65534",
                                     "--clear-groups",
                                     BIN + "/kavrel",
                                     "-i",
                                     image,
                                     "-p",
                                     port,
                                     "-m",
                                     "-n"};
    ProcessResult r = RunProcess(argv, Env(), 30000);
    EXPECT_EQ(r.exitCode, 4) << r.out;
    size_t first = r.out.find("Permission denied: " + port);
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Permission denied", first + 1), std::string::npos);
    EXPECT_NE(r.out.find("group"), std::string::npos);
}

TEST_F(EndToEnd, PortHeldByAnotherProgramEndsWithFourAndSaysSo) {
    std::string port = StartSim();
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    ProcessResult r = Kavrel({"-i", Image(), "-p", port, "-m", "-n"}, 30000);
    close(fd);
    EXPECT_EQ(r.exitCode, 4) << r.out;
    EXPECT_NE(r.out.find(port + " is held by another program."), std::string::npos) << r.out;
}
