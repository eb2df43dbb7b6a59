// The program as a process against the simulator as a process: exit codes, the simulator's flash, standard
// output, the log file named with "l", signals, a second instance.

#include "Process.h"
#include "TestImages.h"
#include "image/Sha256.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string BIN = KV_BIN_DIR;

class EndToEnd : public ::testing::Test {
protected:
    // The environment of an unattended run: no display at all, settings and lock in the test's folder.
    EnvChanges Env(std::string dir = "") const {
        if (dir.empty())
            dir = m_Dir.Path();
        return {{"DISPLAY", std::nullopt},
                {"WAYLAND_DISPLAY", std::nullopt},
                {"QT_QPA_PLATFORM", std::nullopt},
                {"XDG_CONFIG_HOME", dir + "/config"},
                {"TMPDIR", dir},
                {"XDG_RUNTIME_DIR", dir}};
    }

    std::string Image() { return m_Dir.Write("sample.bin", Sample()); }
    static Bytes Sample() {
        UnionParams params;
        params.fwSize = 0x20000;
        return Built(BuildUnionImage, params);
    }

    // Starts kavrel-sim with fast, unpaced options plus extra; returns the port: a link that goes with the
    // simulator, so that a program still running after it cannot reopen a terminal number given out again.
    std::string StartSim(std::vector<std::string> extra = {}) {
        const std::string link = m_Dir.File("receiver");
        extra.insert(extra.begin(), {"--once", "--flash-out", m_Dir.File("flash.bin"), "--link", link});
        std::vector<std::string> argv = FastSimArgs(BIN, extra);
        EXPECT_TRUE(m_Sim.Start(argv, {}));
        return m_Sim.FirstLine(10000) ? link : "";
    }

    std::vector<std::string> Kavrel(const std::vector<std::string>& params) {
        std::vector<std::string> argv = {BIN + "/kavrel"};
        argv.insert(argv.end(), params.begin(), params.end());
        return argv;
    }

    CTestDir m_Dir;
    CChildProcess m_Sim;
};

} // namespace

TEST_F(EndToEnd, UploadCompletesAndTheFlashHoldsTheImage) {
    std::string image = Image();
    std::string port = StartSim();
    std::string log = m_Dir.File("run.log");
    ProcessResult r = RunProcess(Kavrel({"-i", image, "-p", port, "-m", "-n", "-l", log}), Env(), 60000);
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
    for (const std::string& part : {"Check image file name - " + image, std::string("Programming 100%"),
                                    std::string("Upload complete\n"), std::string("(exit code 0)")})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    // The log file holds the job from its first line to the worker's last, written after the dialog closed.
    std::string text = ReadAll(log);
    size_t complete = text.find("\tupload complete\r\n");
    size_t after = text.find("\tcontinue\r\n");
    size_t closing = text.rfind("\t**********************\r\n");
    EXPECT_NE(text.find("\tOpen image file name - " + image + "\r\n"), std::string::npos);
    EXPECT_NE(complete, std::string::npos);
    EXPECT_NE(after, std::string::npos);
    EXPECT_NE(closing, std::string::npos);
    EXPECT_TRUE(complete < after && after < closing);
}

// Every receiver fault against the strict simulator, the rows side by side: the code, an end well within the
// limits the job's own waits add up to, the log's last lines, a host that never broke the protocol, and the
// image file untouched.
TEST_F(EndToEnd, FaultMatrix) {
    struct Row {
        const char* fault; // "hangup-erase": the simulator is stopped while the flash is being erased
        int code;
        std::vector<std::string> closing; // in this order among the log's last lines
        int limitS;
    };
    const std::string failed = "\tERROR: upload failed\r\n", stars = "\t**********************\r\n",
                      closed = "\trx tx threads closed\r\n", timeout = "\tERROR: Send Record TIMEOUT.\r\n",
                      verified = "\tVerified: the receiver reports what the image holds\r\n";
    const std::vector<Row> rows = {
        {"silent", 4, {"\ttimeout\r\n", closed}, 30},
        {"erase-fail:2", 5, {"\tFLASH erase failure.\r\n", failed, stars, closed}, 30},
        {"size-exceeded", 5, {"\tImage size exceed FLASH space.\r\n", failed, stars, closed}, 30},
        {"bad-csum:3", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"no-ack:3", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"hangup-erase", 5, {closed, "\t'SECTOR_ERASED' waiting time out.\r\n", failed, stars}, 60},
        {"hangup:3", 5, {closed, timeout, failed, stars}, 60},
        {"stall:3", 5, {timeout, failed, stars, closed}, 60},
        {"no-complete", 5, {"\twait for upload to complete\r\n", failed, stars}, 30},
        {"mute-after-upl", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"noise:20", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"noise-any:20", 0, {"\tupload complete\r\n", verified, closed}, 60},
    };
    struct Outcome {
        ProcessResult run;
        double seconds = 0;
        std::string log, stats, image;
        struct stat before {
        }, after{};
    };
    std::vector<Outcome> outcomes(rows.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rows.size(); ++i) {
        // Each row in its own folder and with its own image; the waits overlap, so the matrix takes about as
        // long as its longest row.
        std::string dir = m_Dir.File("row" + std::to_string(i));
        mkdir(dir.c_str(), 0700);
        std::string image = m_Dir.Write("row" + std::to_string(i) + "/image.bin", Sample()),
                    stats = dir + "/stats";
        stat(image.c_str(), &outcomes[i].before);
        threads.emplace_back([this, &row = rows[i], &out = outcomes[i], dir, image, stats] {
            bool erase = std::string(row.fault) == "hangup-erase";
            CChildProcess sim, kavrel;
            std::vector<std::string> argv = {
                BIN + "/kavrel-sim",  "--raw",          "--strict", "--stats",     stats, "--erase-ms",
                erase ? "500" : "20", "--finish-delay", "200",      "--reboot-ms", "300"};
            if (!erase)
                argv.insert(argv.end(), {"--fault", row.fault});
            // The receiver is reached through a link that goes with it: after a hang-up the port worker's
            // reopen cannot reach another test's terminal that was given the same number.
            const std::string port = dir + "/receiver", log = dir + "/run.log";
            argv.insert(argv.end(), {"--link", port});
            if (!sim.Start(argv, {}) || !sim.FirstLine(10000))
                return;
            auto start = std::chrono::steady_clock::now();
            std::vector<std::string> args = {"-i", image, "-p", port, "-m", "-n", "-l", log};
            // A short completion limit: only the no-complete row waits it out.
            args.insert(args.end(), {"--completion-limit", "3000"});
            if (kavrel.Start(Kavrel(args), Env(dir))) {
                if (erase && kavrel.WaitForOutput("Erasing FLASH memory", 60000))
                    sim.Stop();
                out.run.exitCode = kavrel.Wait(row.limitS * 2000);
                out.run.timedOut = kavrel.Running();
                out.run.out = kavrel.Output();
            }
            out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            sim.Stop();
            out.log = ReadAll(log);
            out.stats = ReadAll(stats);
            out.image = ReadAll(image);
            stat(image.c_str(), &out.after);
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const Outcome& out = outcomes[i];
        SCOPED_TRACE(row.fault);
        ASSERT_FALSE(out.run.timedOut) << out.run.out;
        EXPECT_EQ(out.run.exitCode, row.code) << out.run.out;
        EXPECT_LT(out.seconds, row.limitS);
        std::printf("%-16s exit %d in %.1f s\n", row.fault, out.run.exitCode, out.seconds);
        // From the last time the first closing line was written (a noisy receiver's sentences may follow).
        size_t at = out.log.rfind(row.closing.front());
        for (const std::string& line : row.closing) {
            at = out.log.find(line, at);
            EXPECT_NE(at, std::string::npos)
                << line << "\n"
                << out.log.substr(out.log.size() - std::min<size_t>(out.log.size(), 600));
        }
        EXPECT_NE(out.stats.find("strict violations: 0"), std::string::npos) << out.stats;
        EXPECT_TRUE(Bytes(out.image.begin(), out.image.end()) == Sample());
        EXPECT_EQ(out.before.st_mtim.tv_sec, out.after.st_mtim.tv_sec);
        EXPECT_EQ(out.before.st_mtim.tv_nsec, out.after.st_mtim.tv_nsec);
    }
}

// Unattended runs that cannot upload: never 0, and the reason on standard output and in the log file. A log
// that cannot be created ends the run before the receiver hears a byte; without a display and without -m a
// question whose yes would risk the receiver is answered no, and the receiver keeps its flash.
TEST_F(EndToEnd, UnattendedRunsThatCannotUpload) {
    enum Untouched { ANY, NOT_FLASHED, NOT_A_BYTE };
    struct Case {
        const char* name;
        std::vector<std::string> sim; // empty: no simulator
        int code;
        std::vector<std::string> said;
        std::string logged;
        std::string log = "case.log"; // in the test's folder
        bool msgOff = true;
        Untouched untouched = ANY;
    };
    const std::string stats = m_Dir.File("stats");
    const std::string cannotCreate = "ERROR: the log file cannot be created: " + m_Dir.Path();
    const Case cases[] = {
        {"missing port", {}, 2, {"Port not found: /dev/kavrel-no-such-port"}, ""},
        {"corrupt image",
         {"--start", "firmware"},
         3,
         {"ERROR: corrupted file"},
         "\tERROR: image file corrupted\r\n"},
        {"port held by another program", {"--start", "firmware"}, 4, {" is held by another program."}, ""},
        {"log file is a folder",
         {"--stats", stats},
         2,
         {cannotCreate + "/logs: Is a directory", "the log file cannot be created (exit code 2)"},
         "",
         "logs",
         true,
         NOT_A_BYTE},
        {"log file in a missing folder",
         {"--stats", stats},
         2,
         {cannotCreate + "/missing/run.log: No such file or directory"},
         "",
         "missing/run.log",
         true,
         NOT_A_BYTE},
        {"image for another receiver type, nobody to ask",
         {"--stats", stats},
         3,
         {"Warning: You are trying to upload firmware from different GNSS receiver.",
          "Are you sure? [answered Cancel: no display to ask on; -m answers OK]",
          "Not uploaded: the image (version A123) does not fit the receiver (TZ5N Ver. 0102).",
          "the image does not fit the receiver (exit code 3)"},
         "\tNot uploaded: the image (version A123) does not fit the receiver (TZ5N Ver. 0102)\r\n",
         "case.log",
         false,
         NOT_FLASHED},
        {"receiver in its loader, nobody to ask",
         {"--stats", stats, "--start", "pfld"},
         4,
         {"Warning: GNSS receiver type undetected. Proceed with image uploading? [answered Cancel",
          "the receiver's type could not be told (exit code 4)"},
         "\tNot uploaded: the receiver answers from its loader, so its type could not be told\r\n",
         "case.log",
         false,
         NOT_FLASHED},
    };
    mkdir(m_Dir.File("logs").c_str(), 0700);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string image = Image();
        std::string port = c.sim.empty() ? "/dev/kavrel-no-such-port" : StartSim(c.sim);
        if (std::string(c.name) == "corrupt image") {
            // One byte changed inside the main firmware breaks its checksum.
            std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(0x9000);
            f.put('\x5A');
        }
        int held = -1;
        if (c.said.front().find("held") != std::string::npos) {
            held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }
        std::string log = m_Dir.File(c.log);
        std::vector<std::string> params = {"-i", image, "-p", port, "-n", "-l", log};
        if (c.msgOff)
            params.push_back("-m");
        ProcessResult r = RunProcess(Kavrel(params), Env(), 60000);
        if (held >= 0)
            close(held);
        EXPECT_EQ(r.exitCode, c.code) << r.out;
        for (const std::string& said : c.said)
            EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
        if (!c.logged.empty()) {
            EXPECT_NE(ReadAll(log).find(c.logged), std::string::npos) << ReadAll(log);
        }
        // The simulator writes its flash and statistics as it ends.
        m_Sim.Stop();
        if (c.untouched == NOT_A_BYTE) {
            EXPECT_NE(ReadAll(stats).find("bytes from host: 0 "), std::string::npos) << ReadAll(stats);
        }
        if (c.untouched != ANY) {
            std::string flash = ReadAll(m_Dir.File("flash.bin"));
            EXPECT_EQ(flash.size(), 4u * 1024 * 1024);
            EXPECT_EQ(flash.find_first_not_of('\xFF'), std::string::npos) << "the receiver was flashed";
        }
        unlink(m_Dir.File("flash.bin").c_str());
    }
}

// A lock that is not a live dialog of this user never ends a start silently: a killed run's lock file,
// another user's file, one that cannot be opened and one that another user's process holds are each taken
// over; the dialog then runs, and a later start brings it to the front and ends with 0.
TEST_F(EndToEnd, LocksThatAreNoLiveDialogAreTakenOver) {
    EnvChanges offscreen = Env();
    offscreen["QT_QPA_PLATFORM"] = "offscreen";
    const std::string lock = m_Dir.File("TZ5_4_FW_loader_one_instance__MUTEX.lock");
    const std::string socket = m_Dir.File("TZ5_4_FW_loader_one_instance__MUTEX.socket");
    const uid_t other = 4242;
    auto foreignFile = [&] {
        // As a live process writes it: its id, program and host.
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        m_Dir.Write("TZ5_4_FW_loader_one_instance__MUTEX.lock",
                    std::to_string(getpid()) + "\napp_e2e_tests\n" + host + "\n");
        EXPECT_EQ(chown(lock.c_str(), other, other), 0);
    };
    auto heldByOther = [&](CChildProcess& holder) {
        foreignFile();
        // The shell opens the file as root, then the locking process runs as the other user.
        ASSERT_TRUE(
            holder.Start({"/bin/sh", "-c",
                          "exec 9<\"$0\"; exec setpriv --reuid=4242 --regid=4242 --clear-groups /bin/sh -c "
                          "'flock 9 && exec sleep 120'",
                          lock},
                         {}));
        auto held = [&] {
            int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
            bool busy = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (fd >= 0)
                close(fd);
            return busy;
        };
        for (int i = 0; i < 500 && !held(); ++i)
            usleep(20000);
        ASSERT_TRUE(held());
    };
    struct Row {
        const char* name;
        std::function<void(CChildProcess& holder)> make;
        std::string said;
    };
    const Row rows[] = {
        {"left by a killed run",
         [&](CChildProcess&) { m_Dir.Write("TZ5_4_FW_loader_one_instance__MUTEX.lock", std::string()); }, ""},
        {"another user's file", [&](CChildProcess&) { foreignFile(); },
         "belonged to another user (uid 4242)"},
        {"cannot be opened", [&](CChildProcess&) { EXPECT_EQ(symlink(lock.c_str(), lock.c_str()), 0); },
         "could not be opened (Too many levels of symbolic links) and was replaced"},
        {"held by another user's process", heldByOther, "belonged to another user (uid 4242)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(lock.c_str());
        unlink(socket.c_str());
        CChildProcess holder, first;
        row.make(holder);
        ASSERT_TRUE(first.Start({"/bin/sh", "-c", "exec \"$0\" 2>&1", BIN + "/kavrel"}, offscreen));
        // Up once its socket is there; a start that ended meanwhile has failed.
        for (int i = 0; i < 600 && access(socket.c_str(), F_OK) != 0 && first.Wait(50) == -1; ++i) {
        }
        if (first.Wait(0) != -1) {
            ADD_FAILURE() << "the start ended: " << first.Output();
            continue;
        }
        struct stat st {};
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        // It is the dialog now: a later start reaches it and ends.
        ProcessResult second = RunProcess(Kavrel({}), offscreen, 20000);
        EXPECT_EQ(second.exitCode, 0) << second.out;
        EXPECT_EQ(first.Wait(200), -1) << "the first instance must still run";
        first.Stop();
        EXPECT_NE(first.Output().find(row.said), std::string::npos) << first.Output();
        holder.Stop();
    }
}

// The image as checked is what goes out and what the run names: an S-record Options file verifies against
// the serial its bytes place, its digest is printed, and a file larger than the flash is no valid image.
TEST_F(EndToEnd, TheCheckedImageIsWhatIsFlashed) {
    OptionsParams params;
    params.serial = "TZ5A00004321";
    params.checksum = false;
    const Bytes options = Built(BuildOptionsImage, params);
    const std::string records = ToSRecords(options, OPTIONS_BASE, 0, "options");
    struct Row {
        const char* name;
        std::string image; // a path in the test's folder
        std::vector<std::string> sim, args;
        int code;
        std::vector<std::string> said;
    };
    const std::string srec = m_Dir.Write("options.srec", records), large = Image();
    ASSERT_EQ(truncate(large.c_str(), 0xFFFFFFFF), 0); // sparse, 4 GiB - 1
    const Row rows[] = {
        {"S-record Options",
         srec,
         {"--reboot-serial", params.serial},
         {"--verify"},
         0,
         {"Image SHA-256: " + Sha256Hex(reinterpret_cast<const uint8_t*>(records.data()), records.size()),
          "Verified: the receiver reports what the image holds"}},
        {"larger than the flash", large, {}, {}, 3, {"ERROR: image open failed: File too large"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(m_Dir.File("flash.bin").c_str());
        // Not --once: the restarted receiver has to answer the verification.
        const std::string port = m_Dir.File("receiver");
        std::vector<std::string> sim = {"--flash-out", m_Dir.File("flash.bin"), "--link", port};
        sim.insert(sim.end(), row.sim.begin(), row.sim.end());
        ASSERT_TRUE(m_Sim.Start(FastSimArgs(BIN, sim), {}));
        ASSERT_TRUE(m_Sim.FirstLine(10000));
        std::vector<std::string> args = {"-i", row.image, "-p", port, "-m", "-n"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        ProcessResult r = RunProcess(Kavrel(args), Env(), 60000);
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.exitCode, row.code) << r.out;
        for (const std::string& line : row.said)
            EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
        m_Sim.Stop();
        if (row.code == 0) {
            std::string flash = ReadAll(m_Dir.File("flash.bin"));
            ASSERT_EQ(flash.size(), 4u * 1024 * 1024);
            EXPECT_TRUE(Bytes(flash.begin() + (OPTIONS_BASE - FLASH_BASE),
                              flash.begin() + (OPTIONS_BASE - FLASH_BASE) + options.size()) == options);
        }
    }
}

// The first SIGINT or SIGTERM cancels, says where the receiver stands, completes the log and ends with 1; a
// second one ends at once.
TEST_F(EndToEnd, SignalsStopAnUnattendedRun) {
    for (int signals : {1, 2}) {
        SCOPED_TRACE(signals);
        std::string port = StartSim({"--program-ms", "60"});
        std::string log = m_Dir.File("signal.log");
        CChildProcess kavrel;
        ASSERT_TRUE(kavrel.Start(Kavrel({"-i", Image(), "-p", port, "-m", "-n", "-l", log}), Env()));
        ASSERT_TRUE(kavrel.WaitForOutput("Programming ", 60000)) << kavrel.Output();
        kavrel.Signal(signals == 1 ? SIGINT : SIGTERM);
        if (signals == 2) {
            ASSERT_TRUE(kavrel.WaitForOutput("interrupted by SIGTERM", 10000)) << kavrel.Output();
            kavrel.Signal(SIGTERM);
        }
        int code = kavrel.Wait(30000);
        if (signals == 2) {
            EXPECT_EQ(code, 128 + SIGTERM);
        } else {
            EXPECT_EQ(code, 1) << kavrel.Output();
            EXPECT_NE(
                kavrel.Output().find("interrupted by SIGINT: flash writing stopped: the receiver is left in "
                                     "its loader with its flash incomplete"),
                std::string::npos)
                << kavrel.Output();
            std::string text = ReadAll(log);
            // The job's end and the port's close reached the file.
            size_t interrupted = text.find("\tinterrupted by SIGINT");
            EXPECT_NE(text.find("\t**********************\r\n", interrupted), std::string::npos);
            EXPECT_NE(text.find("\trx tx threads closed\r\n", interrupted), std::string::npos);
        }
        m_Sim.Stop();
    }
}

// The command-line forms that end before or without an upload, with their codes and what they print; a
// second start beside an open dialog.
TEST_F(EndToEnd, CommandLineForms) {
    EnvChanges offscreen = Env();
    offscreen["QT_QPA_PLATFORM"] = "offscreen";
    CChildProcess first;
    ASSERT_TRUE(first.Start(Kavrel({}), offscreen));
    std::string lock = m_Dir.File("TZ5_4_FW_loader_one_instance__MUTEX.lock");
    for (int i = 0; i < 500 && access(lock.c_str(), F_OK) != 0; ++i)
        usleep(20000);
    ASSERT_EQ(access(lock.c_str(), F_OK), 0);

    struct Case {
        std::vector<std::string> params;
        bool display;
        int code;
        std::string said;
    };
    const Case cases[] = {
        {{"--help"}, false, 0, "without -i the dialog opens with this port added to its list and chosen"},
        {{"--help"}, false, 0, "A second signal ends the program at once with 128 + the signal's number."},
        {{"--version"}, false, 0, "Kavrel Ver. 2.06\n"},
        {{"-l", std::string(300, 'l'), "-n"}, false, 2, ""},
        {{"-n"}, false, 1, ""},
        // "-l" last: terminal.log in the working directory; so with an option after it, which stays an
        // option.
        {{"-i", "nothing.bin", "-p", "/dev/none", "-m", "-n", "-l"}, false, 2, "Port not found: /dev/none"},
        {{"-i", "nothing.bin", "-p", "/dev/none", "-l", "-m", "-n"}, false, 2, "Port not found: /dev/none"},
        // Beside the open dialog: an interactive start raises it and ends; an unattended one runs.
        {{}, true, 0, ""},
        {{"-i", "a.bin", "-p", "/dev/none"}, true, 2, "Port not found: /dev/none"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "cd '" + m_Dir.Path() + "' && exec \"$0\" \"$@\"",
                                         BIN + "/kavrel"};
        argv.insert(argv.end(), c.params.begin(), c.params.end());
        ProcessResult r = RunProcess(argv, c.display ? offscreen : Env(), 20000);
        EXPECT_EQ(r.exitCode, c.code) << c.said << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
    }
    EXPECT_EQ(access(m_Dir.File("terminal.log").c_str(), F_OK), 0);
    EXPECT_NE(access(m_Dir.File("m").c_str(), F_OK), 0) << "an option became the log file's name";
    EXPECT_EQ(first.Wait(200), -1) << "the first instance must still run";
    first.Stop();
}
