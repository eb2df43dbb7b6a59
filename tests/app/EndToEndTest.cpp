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
#include <functional>
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

    // Runs job(0) to job(count - 1), threads of them at a time: the runs' waits overlap.
    static void InParallel(size_t count, size_t threads, const std::function<void(size_t)>& job) {
        std::atomic<size_t> next{0};
        std::vector<std::thread> pool;
        for (size_t t = 0; t < std::min(count, threads); ++t)
            pool.emplace_back([&] {
                for (size_t i = next++; i < count; i = next++)
                    job(i);
            });
        for (std::thread& t : pool)
            t.join();
    }

    CTestDir m_Dir;
    CChildProcess m_Sim;
};

} // namespace

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
    // Each row in its own folder and with its own image, all at once: the matrix takes about as long as its
    // longest row.
    InParallel(rows.size(), rows.size(), [&](size_t i) {
        const Row& row = rows[i];
        Outcome& out = outcomes[i];
        const std::string dir = m_Dir.File("row" + std::to_string(i)), stats = dir + "/stats";
        mkdir(dir.c_str(), 0700);
        const std::string image = m_Dir.Write("row" + std::to_string(i) + "/image.bin", Sample());
        stat(image.c_str(), &out.before);
        const std::string fault = row.fault;
        const bool erase = fault == "hangup-erase", at = fault.rfind("at:", 0) == 0,
                   hangs = at || fault.rfind("hangup:", 0) == 0;
        CChildProcess sim, kavrel;
        std::vector<std::string> argv =
            FastSimArgs(BIN, {"--strict", "--stats", stats, "--erase-ms", erase ? "500" : "20"});
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
// with 5 and the same line, with or without --verify, even when it reports what the image holds. The image
// as checked is what goes out and what the run names: an S-record Options file verifies against the serial
// its bytes place, and its digest is printed.
TEST_F(EndToEnd, OnlyTheReceiverCheckedPasses) {
    OptionsParams srecParams;
    srecParams.serial = "TZ5A00004321";
    srecParams.checksum = false;
    const Bytes srecOptions = Built(BuildOptionsImage, srecParams);
    const std::string records = ToSRecords(srecOptions, OPTIONS_BASE, 0, "options");
    const std::string verified = "Verified: the receiver reports what the image holds",
                      stranger = "Not verified: a different receiver answered (TZ5X STRANGER9)";
    struct Row {
        const char* name;
        int image;                    // 0: firmware (A123), 1: Options (TZ5A00001234), 2: S-record Options
        std::vector<std::string> sim; // added to the simulator's arguments
        std::string line;             // the verification's line
        int code, codeVerify;         // without and with --verify
        std::string said;             // on standard output or among the simulator's events
        std::string ahead = "";       // a simulator event that comes after what was said
        bool flashed = false;         // the flash holds the image at its base, the run's output and log
    };
    // clang-format off
    const std::vector<Row> rows = {
        // An erase long enough to show its rate.
        {"same receiver", 0, {"--erase-ms", "60"}, verified, 0, 0, "TZ5N KV000001: version 0102 -> A123", "", true},
        {"S-record Options", 2, {"--reboot-serial", srecParams.serial}, verified, 0, 0,
         "Image SHA-256: " + Sha256Hex(reinterpret_cast<const uint8_t*>(records.data()), records.size()), "", true},
        {"swapped before the erase", 0, {"--swap-to", "TZ5X:STRANGER9:A123", "--swap-at", "loader"},
         stranger, 5, 5, "receiver swapped at the loader-mode request", "-- erase 0x"},
        {"swapped while programming", 0, {"--swap-to", "TZ5X:STRANGER9:A123", "--swap-at", "frame:3"},
         stranger, 5, 5, "receiver swapped at programming frame 3", "-- programming closed"},
        {"swapped at the restart", 0, {"--swap-to", "TZ5X:STRANGER9:A123"}, stranger, 5, 5,
         "receiver swapped at the restart"},
        {"same serial, another model", 0, {"--swap-to", "TZ5X:KV000001"},
         "Not verified: a different receiver answered (TZ5X KV000001)", 5, 5, ""},
        // The job's own check after the upload sentence names the receiver it flashes.
        {"swapped before the job's check", 0, {"--swap-to", "TZ5X:STRANGER9", "--swap-at", "upl"}, verified,
         0, 0, "TZ5X STRANGER9: version 0102 -> A123"},
        // Checked in its loader: no model or serial to hold it to.
        {"in its loader when checked", 0, {"--start", "pfld"}, verified, 0, 0, "PFLD: version 1.5 -> A123"},
        {"other version", 0, {"--reboot-version", "0999"},
         "Not verified: the receiver reports version 0999, the image holds A123", 0, 5, ""},
        {"Options image taken", 1, {"--reboot-serial", "TZ5A00001234"}, verified, 0, 0, ""},
        {"Options image, another model", 1, {"--swap-to", "TZ5X:TZ5A00001234"},
         "Not verified: a different receiver answered (TZ5X TZ5A00001234)", 5, 5, ""},
        {"Options image not taken", 1, {},
         "Not verified: the receiver reports serial KV000001, the image holds TZ5A00001234", 0, 5, ""},
    };
    // clang-format on
    struct Run {
        const Row* row = nullptr;
        bool verify = false;
        std::string dir;
        ProcessResult result;
        std::string log = "", events = "", stats = "", image = "", flash = "";
        double seconds = 0;
    };
    std::vector<Run> runs;
    for (const Row& row : rows)
        for (bool verify : {false, true}) {
            // Filled in place: an aggregate copied into the vector trips GCC's -O3 uninitialised-use warning.
            Run& run = runs.emplace_back();
            run.row = &row;
            run.verify = verify;
            run.dir = m_Dir.File("run" + std::to_string(runs.size() - 1));
        }
    // Half the runs at a time: each spends most of its ten seconds waiting on the receiver's pauses (the job
    // gives it 5 s to identify itself again after the upload sentence), not on a core.
    InParallel(runs.size(), 12, [&](size_t i) {
        Run& run = runs[i];
        mkdir(run.dir.c_str(), 0700);
        OptionsParams options;
        const Bytes bytes = run.row->image == 2   ? Bytes(records.begin(), records.end())
                            : run.row->image == 1 ? Built(BuildOptionsImage, options)
                                                  : Sample();
        std::string error;
        run.image = run.dir + (run.row->image == 2 ? "/image.srec" : "/image.bin");
        const std::string image = run.image, port = run.dir + "/receiver",
                          transcript = run.dir + "/transcript", log = run.dir + "/run.log",
                          stats = run.dir + "/stats";
        EXPECT_TRUE(WriteFile(image, bytes.data(), bytes.size(), error)) << error;
        std::vector<std::string> extra = {"--strict", "--stats",     stats,
                                          "--link",   port,          "--transcript",
                                          transcript, "--flash-out", run.dir + "/flash.bin"};
        extra.insert(extra.end(), run.row->sim.begin(), run.row->sim.end());
        CChildProcess sim;
        if (!sim.Start(FastSimArgs(BIN, extra), {}) || !sim.FirstLine(10000))
            return;
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
        run.flash = ReadAll(run.dir + "/flash.bin");
    });
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
        if (!row.flashed)
            continue;
        const Bytes bytes = row.image == 2 ? srecOptions : Sample();
        const size_t base = row.image == 2 ? OPTIONS_BASE - FLASH_BASE : 0;
        ASSERT_EQ(run.flash.size(), 4u * 1024 * 1024);
        EXPECT_TRUE(Bytes(run.flash.begin() + base, run.flash.begin() + base + bytes.size()) == bytes);
        // Standard output: the status lines and plain progress lines (it is not a terminal).
        for (const std::string& part :
             {"Check image file name - " + run.image, std::string("Programming 100%"),
              std::string("Upload complete\n"), std::string("(exit code 0)")})
            EXPECT_NE(run.result.out.find(part), std::string::npos) << part;
        EXPECT_EQ(run.result.out.find('\r'), std::string::npos);
        // The log file holds the job from its first line to the worker's last, written after the dialog
        // closed.
        const size_t complete = run.log.find("\tupload complete\r\n"), after = run.log.find("\tcontinue\r\n"),
                     closing = run.log.rfind("\t**********************\r\n");
        EXPECT_NE(run.log.find("\tOpen image file name - " + run.image + "\r\n"), std::string::npos);
        EXPECT_TRUE(complete < after && after < closing && closing != std::string::npos);
        if (row.image != 0)
            continue;
        EXPECT_EQ(run.flash.find_first_not_of('\xFF', bytes.size()), std::string::npos);
        // The erase stage counts the bytes it clears: its lines show a rate.
        bool eraseRate = false;
        const std::string& out = run.result.out;
        for (size_t at = out.find("\nErasing "); at != std::string::npos; at = out.find("\nErasing ", at + 1))
            eraseRate |= out.substr(at, out.find('\n', at + 1) - at).find(" kB/s  ") != std::string::npos;
        EXPECT_TRUE(eraseRate) << out;
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
    // clang-format off
    const Case cases[] = {
        {"missing port", {}, 2, {"Port not found: /dev/kavrel-no-such-port"}, ""},
        {"corrupt image", {"--start", "firmware"}, 3, {"ERROR: corrupted file"}, "\tERROR: image file corrupted\r\n"},
        // The cause is the last line, and no "no receiver answered" after it.
        {"port held by another program", {"--start", "firmware"}, 2, {" is held by another program. (exit code 2)\n"}, ""},
        {"log file is a folder", {"--stats", stats}, 2,
         {cannotCreate + "/logs: Is a directory", "the log file cannot be created (exit code 2)"}, "", "logs", true,
         NOT_A_BYTE},
        {"log file in a missing folder", {"--stats", stats}, 2,
         {cannotCreate + "/missing/run.log: No such file or directory"}, "", "missing/run.log", true, NOT_A_BYTE},
        {"image for another receiver type, nobody to ask", {"--stats", stats}, 3,
         {"Warning: You are trying to upload firmware from different GNSS receiver.",
          "Are you sure? [answered Cancel: no display to ask on; -m answers OK]",
          "Not uploaded: the image (version A123) does not fit the receiver (TZ5N Ver. 0102).",
          "the image does not fit the receiver (exit code 3)"},
         "\tNot uploaded: the image (version A123) does not fit the receiver (TZ5N Ver. 0102)\r\n", "case.log", false,
         NOT_FLASHED},
        {"receiver in its loader, nobody to ask", {"--stats", stats, "--start", "pfld"}, 4,
         {"Warning: GNSS receiver type undetected. Proceed with image uploading? [answered Cancel",
          "the receiver's type could not be told (exit code 4)"},
         "\tNot uploaded: the receiver answers from its loader, so its type could not be told\r\n", "case.log", false,
         NOT_FLASHED},
        {"image larger than the flash", {"--stats", stats}, 3, {"ERROR: image open failed: File too large"}, ""},
    };
    // clang-format on
    mkdir(m_Dir.File("logs").c_str(), 0700);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string image = Image();
        std::string port = c.sim.empty() ? "/dev/kavrel-no-such-port" : StartSim(c.sim);
        if (std::string(c.name) == "corrupt image")
            OverwriteInPlace(image, {0x5A}, 0x9000); // inside the main firmware: its checksum breaks
        if (std::string(c.name) == "image larger than the flash") {
            ASSERT_EQ(truncate(image.c_str(), 0xFFFFFFFF), 0); // sparse, 4 GiB - 1
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
        ASSERT_TRUE(test::WaitUntil(held));
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
        std::vector<std::string> argv = Kavrel({"-i", image, "-p", port, "-m", "-n"});
        argv.insert(argv.begin(),
                    {"/bin/sh", "-c", "exec setsid -w -c \"$@\" <'" + terminal.Path() + "' 2>&1", "sh"});
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
    ASSERT_TRUE(test::WaitUntil([&] { return access(lock.c_str(), F_OK) == 0; }));

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
