// The program as a process against the simulator as a process: exit codes, the simulator's flash, standard
// output, the log file named with "l", signals, a second instance.

#include "Process.h"
#include "Pty.h"
#include "Support.h"
#include "TestImages.h"
#include "image/Sha256.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
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
    std::string port = StartSim({"--erase-ms", "60"}); // an erase long enough to show its rate
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
    // The erase stage counts the bytes it clears: its lines show a rate.
    bool eraseRate = false;
    for (size_t at = r.out.find("\nErasing "); at != std::string::npos; at = r.out.find("\nErasing ", at + 1))
        eraseRate |= r.out.substr(at, r.out.find('\n', at + 1) - at).find(" kB/s  ") != std::string::npos;
    EXPECT_TRUE(eraseRate) << r.out;
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
        // "hangup-erase": the simulator is stopped while the flash is being erased; "at:PHASE": the
        // simulator hangs up at that phase of the upload
        const char* fault;
        int code;
        std::vector<std::string> closing; // in this order among the log's last lines
        int limitS;
    };
    const std::string failed = "\tERROR: upload failed\r\n", stars = "\t**********************\r\n",
                      closed = "\trx tx threads closed\r\n", timeout = "\tERROR: Send Record TIMEOUT.\r\n",
                      verified = "\tVerified: the receiver reports what the image holds\r\n",
                      gone = "\tthe receiver's port went away\r\n";
    const std::vector<Row> rows = {
        {"silent", 4, {"\ttimeout\r\n", closed}, 30},
        {"erase-fail:2", 5, {"\tFLASH erase failure.\r\n", failed, stars, closed}, 30},
        {"size-exceeded", 5, {"\tImage size exceed FLASH space.\r\n", failed, stars, closed}, 30},
        {"bad-csum:3", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"no-ack:3", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"hangup-erase", 5, {gone, failed, stars}, 60},
        {"hangup:3", 5, {gone, failed, stars}, 60},
        {"stall:3", 5, {timeout, failed, stars, closed}, 60},
        {"no-complete", 5, {"\twait for upload to complete\r\n", failed, stars}, 30},
        {"mute-after-upl", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"noise:20", 0, {"\tupload complete\r\n", verified, closed}, 60},
        {"noise-any:20", 0, {"\tupload complete\r\n", verified, closed}, 60},
        // A hang-up in each phase ends the run at once with its own line; the completion wait included,
        // although its limit here is the full 60 s.
        {"at:check", 5, {gone, failed, stars}, 30},
        {"at:load", 5, {gone, failed, stars}, 30},
        {"at:speed", 5, {gone, failed, stars}, 30},
        {"at:identify", 5, {gone, failed, stars}, 30},
        {"at:erase", 5, {gone, failed, stars}, 30},
        {"at:program", 5, {gone, failed, stars}, 30},
        {"at:complete", 5, {"\twait for upload to complete\r\n", gone, failed, stars}, 30},
    };
    struct Outcome {
        ProcessResult run;
        double seconds = 0;
        double hangupToExit = -1; // from the simulator's hang-up to the program's end
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
            const std::string fault = row.fault;
            const bool erase = fault == "hangup-erase", at = fault.rfind("at:", 0) == 0,
                       hangs = at || fault.rfind("hangup:", 0) == 0;
            CChildProcess sim, kavrel;
            std::vector<std::string> argv = {
                BIN + "/kavrel-sim",  "--raw",          "--strict", "--stats",     stats, "--erase-ms",
                erase ? "500" : "20", "--finish-delay", "200",      "--reboot-ms", "300"};
            if (at)
                argv.insert(argv.end(), {"--hangup-at", fault.substr(3)});
            else if (!erase)
                argv.insert(argv.end(), {"--fault", fault});
            // The receiver is reached through a link that goes with it: after a hang-up the port worker's
            // reopen cannot reach another test's terminal that was given the same number.
            const std::string port = dir + "/receiver", log = dir + "/run.log";
            argv.insert(argv.end(), {"--link", port});
            if (!sim.Start(argv, {}) || !sim.FirstLine(10000))
                return;
            auto start = std::chrono::steady_clock::now();
            std::vector<std::string> args = {"-i", image, "-p", port, "-m", "-n", "-l", log};
            // A short completion limit: only the no-complete row waits it out.
            if (!at)
                args.insert(args.end(), {"--completion-limit", "3000"});
            if (kavrel.Start(Kavrel(args), Env(dir))) {
                using Clock = std::chrono::steady_clock;
                std::optional<Clock::time_point> hungUp;
                if (erase && kavrel.WaitForOutput("Erasing FLASH memory", 60000)) {
                    sim.Stop();
                    hungUp = Clock::now();
                }
                // The simulator takes its link away just before it closes its terminal.
                const auto limit = start + std::chrono::seconds(row.limitS * 2);
                const auto look = [&] {
                    if (!hungUp && hangs && access(port.c_str(), F_OK) != 0)
                        hungUp = Clock::now();
                };
                while (kavrel.Running() && Clock::now() < limit) {
                    look();
                    out.run.exitCode = kavrel.Wait(10);
                }
                // A program that ended within the last look's pause still ended after the hang-up.
                look();
                if (hungUp)
                    out.hangupToExit = std::chrono::duration<double>(Clock::now() - *hungUp).count();
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
        std::printf("%-16s exit %d in %.1f s", row.fault, out.run.exitCode, out.seconds);
        const std::string fault = row.fault;
        if (fault.find("hangup") == 0 || fault.rfind("at:", 0) == 0) {
            std::printf(", %.2f s from the hang-up", out.hangupToExit);
            EXPECT_NE(out.run.out.find("\nthe receiver's port went away\n"), std::string::npos)
                << out.run.out;
            EXPECT_GE(out.hangupToExit, 0);
            EXPECT_LT(out.hangupToExit, 10);
        }
        std::printf("\n");
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

// Only the receiver checked right before the upload passes the check after the restart: another one that
// answers (swapped on the same line before the erase, while programming or at the restart) ends every run
// with 5 and the same line, with or without --verify, even when it reports what the image holds.
TEST_F(EndToEnd, OnlyTheReceiverCheckedPasses) {
    const std::string verified = "Verified: the receiver reports what the image holds",
                      stranger = "Not verified: a different receiver answered (TZ5X STRANGER9)";
    struct Row {
        const char* name;
        bool options;                 // an Options image (serial TZ5A00001234), else a firmware image (A123)
        std::vector<std::string> sim; // added to the simulator's arguments
        std::string line;             // the verification's line
        int code, codeVerify;         // without and with --verify
        std::string said;             // on standard output or among the simulator's events
        std::string ahead = "";       // a simulator event that comes after what was said
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"same receiver", false, {}, verified, 0, 0, "TZ5N KV000001: version 0102 -> A123"},
        {"swapped before the erase", false, {"--swap-to", "TZ5X:STRANGER9:A123", "--swap-at", "loader"},
         stranger, 5, 5, "receiver swapped at the loader-mode request", "-- erase 0x"},
        {"swapped while programming", false, {"--swap-to", "TZ5X:STRANGER9:A123", "--swap-at", "frame:3"},
         stranger, 5, 5, "receiver swapped at programming frame 3", "-- programming closed"},
        {"swapped at the restart", false, {"--swap-to", "TZ5X:STRANGER9:A123"}, stranger, 5, 5,
         "receiver swapped at the restart"},
        {"same serial, another model", false, {"--swap-to", "TZ5X:KV000001"},
         "Not verified: a different receiver answered (TZ5X KV000001)", 5, 5, ""},
        // The job's own check after the upload sentence names the receiver it flashes.
        {"swapped before the job's check", false, {"--swap-to", "TZ5X:STRANGER9", "--swap-at", "upl"}, verified,
         0, 0, "TZ5X STRANGER9: version 0102 -> A123"},
        // Checked in its loader: no model or serial to hold it to.
        {"in its loader when checked", false, {"--start", "pfld"}, verified, 0, 0, "PFLD: version 1.5 -> A123"},
        {"other version", false, {"--reboot-version", "0999"},
         "Not verified: the receiver reports version 0999, the image holds A123", 0, 5, ""},
        {"Options image taken", true, {"--reboot-serial", "TZ5A00001234"}, verified, 0, 0, ""},
        {"Options image, another model", true, {"--swap-to", "TZ5X:TZ5A00001234"},
         "Not verified: a different receiver answered (TZ5X TZ5A00001234)", 5, 5, ""},
        {"Options image not taken", true, {},
         "Not verified: the receiver reports serial KV000001, the image holds TZ5A00001234", 0, 5, ""},
    };
    // clang-format on
    struct Run {
        const Row* row;
        bool verify;
        std::string dir;
        ProcessResult result;
        std::string log, events, stats;
        double seconds = 0;
    };
    std::vector<Run> runs;
    for (const Row& row : rows)
        for (bool verify : {false, true})
            runs.push_back(
                {&row, verify, m_Dir.File("run" + std::to_string(runs.size())), {}, "", "", "", 0});
    // A few runs at a time: the job gives the receiver 5 s to identify itself again after the upload
    // sentence.
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < runs.size(); i = next++) {
            Run& run = runs[i];
            mkdir(run.dir.c_str(), 0700);
            OptionsParams options;
            const Bytes bytes = run.row->options ? Built(BuildOptionsImage, options) : Sample();
            std::string error;
            const std::string image = run.dir + "/image.bin", port = run.dir + "/receiver",
                              transcript = run.dir + "/transcript", log = run.dir + "/run.log",
                              stats = run.dir + "/stats";
            EXPECT_TRUE(WriteFile(image, bytes.data(), bytes.size(), error)) << error;
            std::vector<std::string> extra = {"--strict", "--stats",      stats,     "--link",
                                              port,       "--transcript", transcript};
            extra.insert(extra.end(), run.row->sim.begin(), run.row->sim.end());
            CChildProcess sim;
            if (!sim.Start(FastSimArgs(BIN, extra), {}) || !sim.FirstLine(10000))
                continue;
            std::vector<std::string> args = {"-i", image, "-p", port, "-m", "-n", "-l", log};
            if (run.verify)
                args.push_back("--verify");
            auto start = std::chrono::steady_clock::now();
            run.result = RunProcess(Kavrel(args), Env(run.dir), 90000);
            run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            sim.Stop();
            run.log = ReadAll(log);
            run.events = ReadAll(transcript);
            run.stats = ReadAll(stats);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back(work);
    for (std::thread& t : threads)
        t.join();
    for (const Run& run : runs) {
        const Row& row = *run.row;
        SCOPED_TRACE(std::string(row.name) + (run.verify ? " --verify" : ""));
        std::printf("%-32s%-9s exit %d in %.1f s\n", row.name, run.verify ? " --verify" : "",
                    run.result.exitCode, run.seconds);
        ASSERT_FALSE(run.result.timedOut) << run.result.out;
        EXPECT_EQ(run.result.exitCode, run.verify ? row.codeVerify : row.code) << run.result.out;
        EXPECT_NE(run.result.out.find("\n" + row.line + "\n"), std::string::npos) << run.result.out;
        EXPECT_NE(run.log.find("\t" + row.line + "\r\n"), std::string::npos) << run.log;
        const std::string both = run.result.out + run.events;
        EXPECT_NE(both.find(row.said), std::string::npos) << row.said;
        EXPECT_TRUE(row.ahead.empty() || both.find(row.said) < both.find(row.ahead)) << row.ahead;
        // The whole image went in first: only the check after the restart speaks of another receiver.
        EXPECT_NE(run.log.find("\tupload complete\r\n"), std::string::npos);
        EXPECT_NE(run.stats.find("strict violations: 0"), std::string::npos) << run.stats;
    }
}

// Unattended runs that cannot upload: never 0, and the reason on standard output and in the log file.
TEST_F(EndToEnd, UnattendedRunsThatCannotUpload) {
    struct Case {
        const char* name;
        std::vector<std::string> sim; // empty: no simulator
        int code;
        std::string said;
        std::string logged;
    };
    const Case cases[] = {
        {"missing port", {}, 2, "Port not found: /dev/kavrel-no-such-port", ""},
        {"corrupt image",
         {"--start", "firmware"},
         3,
         "ERROR: corrupted file",
         "\tERROR: image file corrupted\r\n"},
        // The cause is the last line, and no "no receiver answered" after it.
        {"port held by another program",
         {"--start", "firmware"},
         2,
         " is held by another program. (exit code 2)\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string image = Image();
        std::string port = c.sim.empty() ? "/dev/kavrel-no-such-port" : StartSim(c.sim);
        if (c.code == 3) {
            // One byte changed inside the main firmware breaks its checksum.
            std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(0x9000);
            f.put('\x5A');
        }
        int held = -1;
        if (c.said.find("held") != std::string::npos) {
            held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }
        std::string log = m_Dir.File("case.log");
        ProcessResult r = RunProcess(Kavrel({"-i", image, "-p", port, "-m", "-n", "-l", log}), Env(), 60000);
        if (held >= 0)
            close(held);
        EXPECT_EQ(r.exitCode, c.code) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_NE(ReadAll(log).find(c.logged), std::string::npos);
        m_Sim.Stop();
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

// A path that is no serial port is refused with a line saying what it is and 2, before anything opens it:
// the terminal the program runs in keeps its settings and gets nothing written into it.
TEST_F(EndToEnd, PathsThatAreNoSerialPortAreRefusedUntouched) {
    struct Case {
        std::string port; // "": the terminal the program runs in, "/dev/tty": the same by its alias
        std::string said;
    };
    const std::string file = m_Dir.Write("plain.txt", Bytes{'x'});
    const Case cases[] = {
        {"/dev/null", "/dev/null is not a serial port (character device 1:3 is not a terminal line)."},
        {"/dev/zero", "/dev/zero is not a serial port (character device 1:5 is not a terminal line)."},
        {"/dev/random", "/dev/random is not a serial port (character device 1:8 is not a terminal line)."},
        {"/dev/ptmx", "/dev/ptmx is not a serial port (it is the pseudo-terminal multiplexer)."},
        {file, file + " is not a serial port (a regular file)."},
        {m_Dir.Path(), m_Dir.Path() + " is not a serial port (a directory)."},
        {"", " is the terminal this program runs in, not a serial port."},
        {"/dev/tty", "/dev/tty is the terminal this program runs in, not a serial port."},
    };
    const std::string image = Image();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        test::CPty terminal;
        // A terminal as a user has it: echo, line editing, output processing.
        termios cooked = terminal.Line();
        cooked.c_lflag |= ECHO | ICANON | ISIG;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_iflag |= ICRNL;
        ASSERT_TRUE(terminal.SetLine(cooked));
        const termios before = terminal.Line();
        const std::string port = c.port.empty() ? terminal.Path() : c.port;
        // The program runs in its own session with the terminal as its controlling terminal (and as its
        // standard input); its output goes to the test.
        std::vector<std::string> argv = {"/bin/sh",
                                         "-c",
                                         "exec setsid -w -c \"$@\" <'" + terminal.Path() + "' 2>&1",
                                         "sh",
                                         BIN + "/kavrel",
                                         "-i",
                                         image,
                                         "-p",
                                         port,
                                         "-m",
                                         "-n"};
        ProcessResult r = RunProcess(argv, Env(), 30000);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        const std::string said = (c.port.empty() ? terminal.Path() : "") + c.said;
        EXPECT_NE(r.out.find("kavrel: " + said + " (exit code 2)\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("no receiver answered"), std::string::npos) << r.out;
        const termios after = terminal.Line();
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        EXPECT_EQ(terminal.Read(1, 100), "");
    }
}

// The first SIGINT or SIGTERM cancels, says where the receiver stands, completes the log and ends with 1
// within a moment, whatever the run waits for; a second one ends at once.
TEST_F(EndToEnd, SignalsStopAnUnattendedRun) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::string waitFor; // the signal goes once the program has printed this
        int signal;
        int signals;
        std::string said; // after "interrupted by SIGxxx: "
    };
    const std::string writing =
        "flash writing stopped: the receiver is left in its loader with its flash incomplete";
    const Case cases[] = {
        {"programming", {"--program-ms", "60"}, "Programming ", SIGINT, 1, writing},
        {"programming, twice", {"--program-ms", "60"}, "Programming ", SIGTERM, 2, ""},
        // The completion mark never comes; the wait for it has the full 60 s limit.
        {"completion wait", {"--fault", "no-complete"}, "Wait for upload to complete.", SIGTERM, 1, writing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string port = StartSim(c.sim);
        std::string log = m_Dir.File("signal.log");
        CChildProcess kavrel;
        ASSERT_TRUE(kavrel.Start(Kavrel({"-i", Image(), "-p", port, "-m", "-n", "-l", log}), Env()));
        ASSERT_TRUE(kavrel.WaitForOutput(c.waitFor, 60000)) << kavrel.Output();
        const std::string name = c.signal == SIGINT ? "SIGINT" : "SIGTERM";
        const auto sent = std::chrono::steady_clock::now();
        kavrel.Signal(c.signal);
        if (c.signals == 2) {
            ASSERT_TRUE(kavrel.WaitForOutput("interrupted by " + name, 10000)) << kavrel.Output();
            kavrel.Signal(c.signal);
        }
        int code = kavrel.Wait(30000);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        std::printf("%-20s exit %d %.2f s after the signal\n", c.name, code, seconds);
        EXPECT_LT(seconds, 10);
        if (c.signals == 2) {
            EXPECT_EQ(code, 128 + c.signal);
        } else {
            EXPECT_EQ(code, 1) << kavrel.Output();
            EXPECT_NE(kavrel.Output().find("interrupted by " + name + ": " + c.said), std::string::npos)
                << kavrel.Output();
            std::string text = ReadAll(log);
            // The job's end and the port's close reached the file.
            size_t interrupted = text.find("\tinterrupted by " + name);
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
        // "-l" last: terminal.log in the working directory.
        {{"-i", "nothing.bin", "-p", "/dev/none", "-m", "-n", "-l"}, false, 2, "Port not found: /dev/none"},
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
    EXPECT_EQ(first.Wait(200), -1) << "the first instance must still run";
    first.Stop();
}
