// kavrel-line as a process against kavrel-sim processes: exit codes, records, logs, flash contents, watch
// mode, signals, write errors; and the board's lines.

#include "Process.h"
#include "Support.h"
#include "TestImages.h"
#include "line/LineOptions.h"
#include "line/StationDisplay.h"

#include <array>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>

namespace {

const std::string BIN = KV_BIN_DIR;

using Json = nlohmann::json;

// Every line of a record file, each parsed (a half-written line fails the test).
std::vector<Json> Records(const std::string& path) {
    std::vector<Json> records;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);) {
        Json j = Json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << line;
        if (j.is_object())
            records.push_back(j);
    }
    return records;
}

std::map<std::string, Json> RecordsByPort(const std::string& path) {
    std::map<std::string, Json> records;
    for (const Json& j : Records(path))
        records[j.at("port").get<std::string>()] = j;
    return records;
}

class LineTest : public ::testing::Test {
protected:
    // 48 KiB: the PFL, erased gap and a 16 KiB main firmware.
    std::string SmallImage() {
        UnionParams params;
        params.fwSize = 0x4000;
        return m_Dir.Write("image.bin", Built(BuildUnionImage, params));
    }

    // A simulated receiver linked at <dir>/<name>, fast and unpaced; its flash goes to <name>.flash when it
    // ends (with --once: when the station has closed the port after a completed upload).
    void StartSim(const std::string& name, std::vector<std::string> extra = {}, bool once = true) {
        std::vector<std::string> argv =
            FastSimArgs(BIN, {"--link", m_Dir.File(name), "--flash-out", m_Dir.File(name + ".flash"),
                              "--stats", m_Dir.File(name + ".stats")});
        if (once)
            argv.push_back("--once");
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_Sims.push_back(std::make_unique<CChildProcess>());
        ASSERT_TRUE(m_Sims.back()->Start(argv, {}));
        ASSERT_TRUE(m_Sims.back()->FirstLine(10000).has_value());
    }

    // A simulated receiver at link (any path), not ending after an upload: pulled with Stop().
    CChildProcess& Receiver(const std::string& link, std::vector<std::string> extra = {}) {
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        std::vector<std::string> argv = FastSimArgs(BIN, {"--link", link});
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_Sims.push_back(std::make_unique<CChildProcess>());
        EXPECT_TRUE(m_Sims.back()->Start(argv, {}));
        EXPECT_TRUE(m_Sims.back()->FirstLine(10000).has_value());
        return *m_Sims.back();
    }

    // The station in the background, its standard output and error in files.
    void StartLine(CChildProcess& line, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         "exec \"$0\" \"$@\" > " + Out() + " 2> " + m_Dir.File("line.err")};
        for (const std::string& a : Line(args))
            argv.push_back(a);
        ASSERT_TRUE(line.Start(argv, {}));
    }
    std::string Out() const { return m_Dir.File("line.out"); }
    bool OutShows(const std::string& text, unsigned ms = 120000) {
        return test::WaitUntil([&] { return ReadAll(Out()).find(text) != std::string::npos; }, ms);
    }
    // The station to its end, standard error in Err().
    ProcessResult RunLine(const std::vector<std::string>& args, unsigned ms = 120000) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2> " + m_Dir.File("line.err")};
        for (const std::string& a : Line(args))
            argv.push_back(a);
        return RunProcess(argv, {}, ms);
    }
    std::string Err() const { return ReadAll(m_Dir.File("line.err")); }

    std::vector<std::string> Line(std::vector<std::string> args) {
        std::vector<std::string> argv = {
            BIN + "/kavrel-line", "--json", m_Dir.File("records.jsonl"), "--completion-limit", "3000",
            "--verify-limit",     "10000"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // The flash the receiver ended with starts with the image's bytes.
    void ExpectFlashHoldsImage(size_t sim, const std::string& name, const std::string& image) {
        ASSERT_EQ(m_Sims[sim]->Wait(20000), 0);
        std::string flash = ReadAll(m_Dir.File(name + ".flash"));
        std::string bytes = ReadAll(image);
        ASSERT_GE(flash.size(), bytes.size());
        EXPECT_TRUE(flash.compare(0, bytes.size(), bytes) == 0);
    }

    CTestDir m_Dir;
    std::vector<std::unique_ptr<CChildProcess>> m_Sims;
};

struct FaultRow {
    const char* fault;
    int code;
    const char* result;
    const char* reason = ""; // the record's reason starts so (with or without a log folder)
};

void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.fault;
}

class FaultBatch : public LineTest, public ::testing::WithParamInterface<FaultRow> {};

} // namespace

// Two receivers in one batch, the second with one of the simulator's faults: the first always passes, the
// batch ends with the faulty one's code, and each has its record.
TEST_P(FaultBatch, OneFaultyReceiverBesideAGoodOne) {
    const FaultRow& row = GetParam();
    std::string image = SmallImage();
    StartSim("p0");
    StartSim("p1", {"--fault", row.fault});
    ProcessResult r = RunProcess(Line({"-i", image, m_Dir.File("p*")}), {}, 120000);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, row.code) << r.out;

    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 2u) << r.out;
    const Json& good = records[m_Dir.File("p0")];
    EXPECT_EQ(good.at("result").get<std::string>(), "passed");
    EXPECT_EQ(good.at("exitCode").get<double>(), 0);
    EXPECT_TRUE(good.at("verified").get<bool>());
    const Json& faulty = records[m_Dir.File("p1")];
    EXPECT_EQ(faulty.at("result").get<std::string>(), row.result) << r.out;
    EXPECT_EQ(faulty.at("exitCode").get<double>(), row.code);
    EXPECT_EQ(faulty.at("reason").is_null(), row.code == 0) << r.out;
    if (row.code != 0) {
        EXPECT_EQ(faulty.at("reason").get<std::string>().rfind(row.reason, 0), 0u) << r.out;
    }
    ExpectFlashHoldsImage(0, "p0", image);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultBatch,
    // One row for each way a slot ends (the job's own handling of every fault is the fault matrix's).
    ::testing::Values(FaultRow{"silent", 4, "no receiver"},
                      FaultRow{"erase-fail", 5, "failed", "FLASH erase failure."},
                      FaultRow{"bad-csum:3", 0, "passed"}, FaultRow{"no-complete", 5, "failed"},
                      FaultRow{"hangup:3", 5, "disconnected"}),
    [](const ::testing::TestParamInfo<FaultRow>& info) {
        std::string name = info.param.fault;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

// With --skip-blank the frames of nothing but 0xFF are left out, and the flash (zeros before the upload, so
// only the erase makes those bytes 0xFF) still equals the image. The record is checked field by field.
TEST_F(LineTest, SkipBlankRecordFieldByField) {
    std::string image = SmallImage();
    std::string zeros = m_Dir.Write("zeros.bin", Bytes(0x20000, 0));
    StartSim("p0", {"--flash-in", zeros});
    ProcessResult r =
        RunProcess(Line({"-i", image, "--skip-blank", "--log-dir", m_Dir.File("logs/new"), "--station",
                         "bench 3", "--operator", "Jana", "--lot", "L-7", m_Dir.File("p0")}),
                   {}, 120000);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ExpectFlashHoldsImage(0, "p0", image);

    ProcessResult sum = RunProcess({"/usr/bin/sha256sum", image}, {}, 10000);
    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    const Json& j = records.begin()->second;
    EXPECT_EQ(j.size(), 33u);
    EXPECT_EQ(j.at("schema").get<int>(), 2);
    EXPECT_EQ(j.at("station").get<std::string>(), "bench 3");
    EXPECT_EQ(j.at("operator").get<std::string>(), "Jana");
    EXPECT_EQ(j.at("lot").get<std::string>(), "L-7");
    EXPECT_FALSE(j.at("program").get<std::string>().empty());
    EXPECT_EQ(j.at("runId").get<std::string>().size(), 25u);
    EXPECT_EQ(j.at("port").get<std::string>(), m_Dir.File("p0"));
    EXPECT_TRUE(j.at("portPath").is_null());      // a pseudo-terminal has no position on a bus
    EXPECT_TRUE(j.at("adapterSerial").is_null()); // nor a USB adapter
    EXPECT_EQ(j.at("receiverModel").get<std::string>(), "TZ5N");
    EXPECT_EQ(j.at("serialNumber").get<std::string>(), "KV000001");
    EXPECT_EQ(j.at("options").get<std::string>(), "GPS-GLO");
    EXPECT_EQ(j.at("firmwareBefore").get<std::string>(), "0102");
    EXPECT_EQ(j.at("modelAfter").get<std::string>(), "TZ5N");
    EXPECT_EQ(j.at("serialAfter").get<std::string>(), "KV000001");
    EXPECT_EQ(j.at("optionsAfter").get<std::string>(), "GPS-GLO");
    EXPECT_EQ(j.at("firmwareAfter").get<std::string>(), "A123");
    EXPECT_TRUE(j.at("serialWritten").is_null()); // a firmware image writes no serial
    EXPECT_EQ(j.at("image").get<std::string>(), image);
    EXPECT_EQ(j.at("imageSha256").get<std::string>(), sum.out.substr(0, 64));
    EXPECT_EQ(j.at("imageVersion").get<std::string>(), "A123");
    EXPECT_EQ(j.at("imageType").get<std::string>(), "firmware");
    EXPECT_EQ(j.at("imageSize").get<double>(), static_cast<double>(ReadAll(image).size()));
    EXPECT_EQ(j.at("result").get<std::string>(), "passed");
    EXPECT_EQ(j.at("exitCode").get<double>(), 0);
    EXPECT_TRUE(j.at("verified").get<bool>());
    EXPECT_TRUE(j.at("reason").is_null());
    // The gap between the PFL and the main firmware is erased flash in the file: whole frames of 0xFF.
    const double size = static_cast<double>(ReadAll(image).size());
    EXPECT_GE(j.at("bytesSkipped").get<double>(), 4 * 2048);
    EXPECT_EQ(j.at("bytesWritten").get<double>() + j.at("bytesSkipped").get<double>(),
              size + (static_cast<size_t>(size) & 1));
    for (const char* phase : {"check", "loader", "erase", "program", "restart"})
        EXPECT_GT(j.at("phaseMs").at(phase).get<double>(), 0) << phase;
    EXPECT_EQ(j.at("phaseMs").size(), 5u);
    // UTC, ISO 8601, in order.
    const std::string start = j.at("startTime").get<std::string>(), end = j.at("endTime").get<std::string>();
    EXPECT_EQ(start.size(), 24u);
    EXPECT_EQ(start.substr(10, 1) + start.substr(23), "TZ");
    EXPECT_LE(start, end);
    // The log folder did not exist: it was made. The log starts with what the unit got and ends with the
    // verdict; every line carries the date.
    std::string log = ReadAll(j.at("logFile").get<std::string>());
    EXPECT_EQ(j.at("logFile").get<std::string>().rfind(m_Dir.File("logs/new/"), 0), 0u);
    EXPECT_NE(log.find("\tBlank frames not sent: "), std::string::npos);
    EXPECT_NE(log.find("\tFLASH Programing Complete."), std::string::npos);
    EXPECT_NE(log.find("\tstation bench 3, kavrel-line "), std::string::npos) << log;
    EXPECT_NE(log.find(", SHA-256 " + sum.out.substr(0, 64)), std::string::npos) << log;
    ASSERT_GT(log.size(), 2u);
    EXPECT_NE(log.substr(log.rfind('\n', log.size() - 2) + 1).find("\tverdict: passed (exit code 0)"),
              std::string::npos)
        << log;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d ", &local);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.substr(0, 11), today) << line;
    EXPECT_NE(r.out.find("passed, TZ5N KV000001: version 0102 -> A123, "), std::string::npos) << r.out;
}

struct VerifyRow {
    const char* name;
    bool options;                 // an Options image (serial TZ5A00001234) instead of the firmware image
    std::vector<std::string> sim; // receiver options
    const char* reason;
};

class Verification : public LineTest, public ::testing::WithParamInterface<VerifyRow> {};

void PrintTo(const VerifyRow& row, std::ostream* os) {
    *os << row.name;
}

// After the restart the receiver must report what the image holds; otherwise the unit is not verified.
TEST_P(Verification, FailsWhenTheRestartedReceiverReportsSomethingElse) {
    const VerifyRow& row = GetParam();
    std::string image = SmallImage();
    if (row.options) {
        image = m_Dir.Write("options.bin", Built(BuildOptionsImage, OptionsParams{}));
    }
    StartSim("p0", row.sim);
    ProcessResult r = RunProcess(Line({"-i", image, m_Dir.File("p0")}), {}, 120000);
    EXPECT_EQ(r.exitCode, 5) << r.out;
    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    const Json& j = records.begin()->second;
    EXPECT_EQ(j.at("result").get<std::string>(), "not verified");
    EXPECT_FALSE(j.at("verified").get<bool>());
    EXPECT_EQ(j.at("reason").get<std::string>(), row.reason);
    // Both sides are recorded: what was checked before, what answered after.
    EXPECT_EQ(j.at("serialNumber").get<std::string>(), "KV000001");
    EXPECT_EQ(j.at("serialAfter").get<std::string>(),
              row.sim.size() > 1 && row.sim[0] == "--reboot-serial" ? row.sim[1] : std::string("KV000001"));
    EXPECT_EQ(j.at("serialWritten").is_null(), !row.options);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Verification,
    // clang-format off
    ::testing::Values(
        VerifyRow{"OtherVersion", false, {"--reboot-version", "B999"},
                  "the receiver reports version B999, the image holds A123"},
        VerifyRow{"AnotherReceiverAfterTheRestart", false, {"--reboot-serial", "KV000777"},
                  "a different receiver answered (TZ5N KV000777)"},
        VerifyRow{"OtherSerial", true, {}, "the receiver reports serial KV000001, the image holds TZ5A00001234"}),
    // clang-format on
    [](const ::testing::TestParamInfo<VerifyRow>& info) { return std::string(info.param.name); });

// Watch mode: a unit is the receiver behind the adapter, not the port. The link stays while the receiver
// behind it changes: a passed unit is not flashed again while it answers with the image's version; a pulled
// one is noticed at once; another receiver, and one sharing the first one's serial but still on the old
// firmware, are flashed. An image replaced on disk meanwhile is reported once and not used.
TEST_F(LineTest, WatchFlashesEachReceiverBehindALinkThatStays) {
    std::string image = SmallImage();
    const std::string link = m_Dir.File("relay/p0");
    CChildProcess& first = Receiver(link);
    CChildProcess line;
    StartLine(line, {"-i", image, "--watch", m_Dir.File("relay/p*")});
    ASSERT_TRUE(OutShows("unit TZ5N KV000001 (A123) done")) << ReadAll(Out());
    const std::string sum = RunProcess({"/usr/bin/sha256sum", image}, {}, 10000).out.substr(0, 64);
    m_Dir.Write("image.bin", UnionImage(0xC000, "B999", 2));

    first.Stop();
    const uint32_t pulled = TickMs();
    // The link goes with the terminal behind it: the adapter is seen removed.
    ASSERT_TRUE(OutShows(" removed", 20000)) << ReadAll(Out());
    const uint32_t noticed = ElapsedMs(pulled);
    Receiver(link, {"--serial", "KV000002"});
    ASSERT_TRUE(OutShows("unit TZ5N KV000002 (A123) done")) << ReadAll(Out());
    m_Sims.back()->Stop();
    // The same serial as the one just done, but the old firmware: another board.
    Receiver(link, {"--serial", "KV000002"});
    ASSERT_TRUE(test::WaitUntil([&] { return Records(m_Dir.File("records.jsonl")).size() == 3; }, 120000))
        << ReadAll(Out());
    EXPECT_EQ(line.Stop(20000), 0) << ReadAll(Out());

    const std::vector<Json> records = Records(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 3u) << ReadAll(Out());
    const char* serials[] = {"KV000001", "KV000002", "KV000002"};
    for (size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(records[k].at("result").get<std::string>(), "passed") << k;
        EXPECT_EQ(records[k].at("serialNumber").get<std::string>(), serials[k]) << k;
        EXPECT_EQ(records[k].at("firmwareBefore").get<std::string>(), "0102") << k;
        EXPECT_EQ(records[k].at("firmwareAfter").get<std::string>(), "A123") << k;
        EXPECT_EQ(records[k].at("imageSha256").get<std::string>(), sum) << k;
    }
    const std::string out = ReadAll(Out());
    const std::string changed = "has changed on disk";
    EXPECT_NE(out.find(changed), std::string::npos) << out;
    EXPECT_EQ(out.find(changed), out.rfind(changed)) << out;
    std::printf("pulled receiver noticed after %u ms\n", noticed);
    EXPECT_LT(noticed, 10000u);
}

// Watch mode: a unit that failed stays held while it answers (and is said to wait for its unplugging), or
// is flashed again as often as --retries allows.
TEST_F(LineTest, WatchHoldsAFailedUnitUntilItIsUnplugged) {
    std::string image = SmallImage();
    Receiver(m_Dir.File("p0"), {"--reboot-version", "B999"});
    CChildProcess line;
    StartLine(line, {"-i", image, "--watch", "--retries", "1", m_Dir.File("p*")});
    ASSERT_TRUE(OutShows("failed; unplug it to go on")) << ReadAll(Out());
    // Held: it keeps answering, and is not flashed again (each look would start a unit at once).
    ASSERT_TRUE(OutShows("\n", 1000));
    const size_t before = ReadAll(Out()).size();
    EXPECT_FALSE(OutShows("retry 2", 3000));
    EXPECT_EQ(ReadAll(Out()).size(), before) << ReadAll(Out());
    EXPECT_EQ(line.Stop(20000), 5) << ReadAll(Out());
    const std::vector<Json> records = Records(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 2u) << ReadAll(Out());
    for (const Json& j : records) {
        EXPECT_EQ(j.at("result").get<std::string>(), "not verified");
        EXPECT_EQ(j.at("serialNumber").get<std::string>(), "KV000001");
        EXPECT_EQ(j.at("firmwareAfter").get<std::string>(), "B999");
    }
}

// A receiver that goes away mid-upload is "disconnected", soon, in a batch and in watch mode (where the
// station goes on and flashes the receiver that comes next).
TEST_F(LineTest, DisconnectIsItsOwnResultInWatchMode) {
    std::string image = SmallImage();
    const std::string link = m_Dir.File("p0");
    Receiver(link, {"--fault", "hangup:3"});
    CChildProcess line;
    StartLine(line, {"-i", image, "--watch", "--completion-limit", "60000", m_Dir.File("p*")});
    ASSERT_TRUE(OutShows("disconnected (exit code 5)")) << ReadAll(Out());
    Receiver(link);
    ASSERT_TRUE(OutShows("passed, TZ5N KV000001")) << ReadAll(Out());
    EXPECT_EQ(line.Stop(20000), 5) << ReadAll(Out());
    const std::vector<Json> records = Records(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 2u) << ReadAll(Out());
    EXPECT_EQ(records[0].at("result").get<std::string>(), "disconnected");
    EXPECT_EQ(records[0].at("reason").get<std::string>(), "the receiver's port went away");
    // The programming ended with the line; the record does not wait out the completion limit.
    const double program = records[0].at("phaseMs").at("program").get<double>();
    std::printf("disconnect recorded after %.0f ms of programming\n", program);
    EXPECT_LT(program, 10000);
    EXPECT_EQ(records[1].at("result").get<std::string>(), "passed");
}

struct SignalRow {
    const char* name;
    int signals; // sent one after another
    const char* said;
};

void PrintTo(const SignalRow& row, std::ostream* os) {
    *os << row.name;
}

class Signals : public LineTest, public ::testing::WithParamInterface<SignalRow> {};

// A unit waiting for its completion mark (which never comes) is ended by the first signal within moments, as
// an interruption with its record; a second signal ends the station at once.
TEST_P(Signals, EndTheWaitForTheCompletionMark) {
    const SignalRow& row = GetParam();
    std::string image = SmallImage();
    Receiver(m_Dir.File("p0"), {"--fault", "no-complete"});
    CChildProcess line;
    StartLine(line, {"-i", image, "--completion-limit", "120000", m_Dir.File("p0")});
    ASSERT_TRUE(OutShows("programming 100%")) << ReadAll(Out());
    const uint32_t start = TickMs();
    for (int k = 0; k < row.signals; ++k)
        line.Signal(k == 0 ? SIGTERM : SIGINT);
    const int code = line.Wait(20000);
    const uint32_t took = ElapsedMs(start);
    std::printf("%s: ended %u ms after the signal\n", row.name, took);
    EXPECT_EQ(code, 1) << ReadAll(Out()) << Err();
    EXPECT_LT(took, 10000u);
    EXPECT_NE((ReadAll(Out()) + Err()).find(row.said), std::string::npos) << ReadAll(Out()) << Err();
    if (row.signals == 1) {
        const std::vector<Json> records = Records(m_Dir.File("records.jsonl"));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].at("result").get<std::string>(), "interrupted");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Signals,
                         ::testing::Values(SignalRow{"One", 1, "interrupted (exit code 1)"},
                                           SignalRow{"Two", 2, "second signal, ending at once"}),
                         [](const ::testing::TestParamInfo<SignalRow>& info) {
                             return std::string(info.param.name);
                         });

// Five units whose port names would make one log name (one directory's end, ':' and ' ', one serial), one of
// them non-ASCII: each gets its own log, named in its record, holding its own port; the record keeps the
// name as it is (UTF-8, not encoded twice).
TEST_F(LineTest, LogNamesNeverCollide) {
    std::string image = SmallImage();
    const std::vector<std::string> ports = {m_Dir.File("hubA/rx0"), m_Dir.File("hubB/rx0"),
                                            m_Dir.File("odd/rx:1"), m_Dir.File("odd/rx 1"),
                                            m_Dir.File("Pr\xC3\xBC"
                                                       "fplatz/rx0")};
    std::vector<std::string> args = {"-i", image, "--log-dir", m_Dir.File("logs")};
    for (const std::string& port : ports) {
        Receiver(port);
        args.push_back(port);
    }
    ProcessResult r = RunLine(args);
    ASSERT_EQ(r.exitCode, 0) << r.out << Err();
    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), ports.size()) << r.out;
    std::set<std::string> logs;
    for (const std::string& port : ports) {
        ASSERT_EQ(records.count(port), 1u) << port;
        const std::string log = ReadAll(records[port].at("logFile").get<std::string>());
        EXPECT_NE(log.find("\tport " + port + "\n"), std::string::npos) << port << "\n" << log;
        EXPECT_NE(log.find("\tverdict: passed"), std::string::npos) << port;
        logs.insert(records[port].at("logFile").get<std::string>());
    }
    EXPECT_EQ(logs.size(), ports.size());
}

struct StartRow {
    const char* name;
    std::vector<std::string> args;      // IMAGE, OPTIONS, FILE and DIR stand for paths of the test
    std::vector<std::string> receivers; // links in DIR
    int code;
    const char* said;                   // on standard error, or in the output when it starts with '>'
    int records;                        // added behind the earlier run's record, which stays
    std::set<std::string> flashed = {}; // receivers whose flash ends with the image
    std::string fault = "";             // the last receiver's simulator fault
    std::string held = "";              // a receiver's port that another program holds
    std::vector<std::array<std::string, 3>> recorded = {}; // port in DIR, field, value as JSON
};

void PrintTo(const StartRow& row, std::ostream* os) {
    *os << row.name;
}

class StartUp : public LineTest, public ::testing::WithParamInterface<StartRow> {};

// What the station refuses or reports before (or instead of) flashing, each with its code, its records and
// their causes.
TEST_P(StartUp, RefusesOrReports) {
    const StartRow& row = GetParam();
    std::string image = SmallImage();
    std::string options = m_Dir.Write("options.bin", Built(BuildOptionsImage, OptionsParams{}));
    m_Dir.Write("file", std::string("x"));
    const std::string json = m_Dir.Write("records.jsonl", std::string("{\"port\":\"earlier run\"}\n"));
    for (const std::string& name : row.receivers) {
        std::vector<std::string> extra = {"--flash-out", m_Dir.File(name) + ".flash"};
        if (!row.fault.empty() && name == row.receivers.back())
            extra.insert(extra.end(), {"--fault", row.fault});
        Receiver(m_Dir.File(name), extra);
    }
    int held = -1;
    if (!row.held.empty()) {
        held = open(m_Dir.File(row.held).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    }
    std::vector<std::string> args;
    for (std::string a : row.args) {
        for (const auto& [word, path] : std::map<std::string, std::string>{
                 {"IMAGE", image}, {"OPTIONS", options}, {"FILE", m_Dir.File("file")}, {"DIR", m_Dir.Path()}})
            if (a.rfind(word, 0) == 0)
                a = path + a.substr(word.size());
        args.push_back(a);
    }
    ProcessResult r = RunLine(args);
    if (held >= 0)
        close(held);
    EXPECT_EQ(r.exitCode, row.code) << r.out << Err();
    const std::string said = row.said;
    if (said[0] == '>')
        EXPECT_NE(r.out.find(said.substr(1)), std::string::npos) << r.out;
    else
        EXPECT_NE(Err().find(said), std::string::npos) << Err();
    EXPECT_EQ(Records(json).size(), static_cast<size_t>(row.records) + 1) << r.out;
    std::map<std::string, Json> records = RecordsByPort(json);
    EXPECT_TRUE(records.count("earlier run")) << ReadAll(json);
    for (const auto& [port, field, value] : row.recorded)
        EXPECT_EQ(records[m_Dir.File(port)][field].dump(), value) << port << " " << field;
    // The flash each receiver ends with holds the image, or (refused, failed) was never written.
    const std::string bytes = ReadAll(args[1]);
    for (size_t k = 0; k < row.receivers.size(); ++k) {
        m_Sims[k]->Stop();
        const std::string flash = ReadAll(m_Dir.File(row.receivers[k]) + ".flash");
        EXPECT_EQ(flash.compare(0, bytes.size(), bytes) == 0, row.flashed.count(row.receivers[k]) == 1)
            << row.receivers[k];
    }
}

const std::string LONG_NAME = "long/" + std::string(240, 'a');
const std::array<std::string, 3> MISSING_RESULT = {"missing", "result", "\"port not found\""},
                                 MISSING_CODE = {"missing", "exitCode", "2"},
                                 ERASE_REASON = {"p0", "reason", "\"FLASH erase failure.\""};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, StartUp,
    ::testing::Values(
        StartRow{"MissingImage", {"-i", "DIR/none.bin", "DIR/p0"}, {}, 3, "the image file was not found", 0},
        StartRow{"LogDirIsAFile", {"-i", "IMAGE", "--log-dir", "FILE", "DIR/p0"}, {"p0"}, 2, "is not a folder", 0},
        StartRow{"OptionsToThreeUnits", {"-i", "OPTIONS", "DIR/p0", "DIR/p1", "DIR/p2"}, {"p0", "p1", "p2"}, 2,
                 "may be written to one unit per run; 3 ports given", 0},
        StartRow{"GlobMatchingNothing", {"-i", "IMAGE", "DIR/p0", "DIR/none*"}, {"p0"}, 2,
                 ">none*: port not found (exit code 2): no port matches the pattern", 2, {"p0"}},
        StartRow{"RecordsToAFullDevice", {"-i", "IMAGE", "--json", "/dev/full", "DIR/p0"}, {"p0"}, 6,
                 "cannot write the record file /dev/full: No space left on device", 0, {"p0"}},
        StartRow{"LongPortName", {"-i", "IMAGE", "DIR/" + LONG_NAME}, {LONG_NAME}, 0, ">1 units, 1 passed", 1,
                 {LONG_NAME}},
        StartRow{"NoPortGiven", {"-i", "IMAGE"}, {}, 2, "no port given", 0},
        // A named port that is not there is a unit with its own record; a failure's record names its cause.
        StartRow{"MissingPortBesideAFailingOne", {"-i", "IMAGE", "DIR/p0", "DIR/missing"}, {"p0"}, 5,
                 ">2 units, 0 passed, 2 failed (exit code 5)", 2, {}, "erase-fail", "",
                 {MISSING_RESULT, MISSING_CODE, ERASE_REASON}},
        StartRow{"FailureCauseWithALogFolder", {"-i", "IMAGE", "--log-dir", "DIR", "DIR/p0", "DIR/missing"}, {"p0"}, 5,
                 ">2 units, 0 passed, 2 failed (exit code 5)", 2, {}, "erase-fail", "",
                 {MISSING_RESULT, MISSING_CODE, ERASE_REASON}},
        // A port that another program holds is a unit of its own with the port errors' code.
        StartRow{"HeldPortIsAUnitOfItsOwn", {"-i", "IMAGE", "DIR/p0", "DIR/p1"}, {"p0", "p1"}, 2,
                 ">2 units, 1 passed, 1 failed (exit code 2)", 2, {"p0"}, "", "p1",
                 {{"p0", "result", "\"passed\""}, {"p1", "result", "\"port not usable\""}, {"p1", "exitCode", "2"},
                  {"p1", "reason", "\"the port is held by another program\""}}}),
    [](const ::testing::TestParamInfo<StartRow>& info) { return std::string(info.param.name); });
// clang-format on

// Watch mode without ports watches the by-id links; without --watch a port is needed.
TEST(LineOptions, WatchWithoutPortsWatchesTheByIdLinks) {
    std::string args[] = {"kavrel-line", "-i", "image.bin", "--watch"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data()};
    LineOptions options;
    std::string error;
    EXPECT_TRUE(ParseLineOptions(4, argv, options, error)) << error;
    EXPECT_EQ(options.ports, std::vector<std::string>{"/dev/serial/by-id/*"});
}

struct FullRow {
    const char* name;
    bool watch;
    bool tmpfs; // records and logs on a small file system of their own; else records to /dev/full
    int receivers;
};

void PrintTo(const FullRow& row, std::ostream* os) {
    *os << row.name;
}

class FullDisk : public LineTest, public ::testing::WithParamInterface<FullRow> {
protected:
    void TearDown() override {
        if (m_Mounted)
            umount2(m_Dir.File("small").c_str(), MNT_DETACH);
    }
    bool m_Mounted = false;
};

// Records and logs that cannot be written: said at once on standard error, no half line in the record file,
// no new unit (a watch ends by itself), and the run ends with code 6.
TEST_P(FullDisk, WriteErrorsAreReportedAndEndTheRun) {
    const FullRow& row = GetParam();
    std::string image = SmallImage();
    std::string json = "/dev/full";
    std::vector<std::string> args = {"-i", image};
    if (row.tmpfs) {
        std::filesystem::create_directories(m_Dir.File("small"));
        m_Mounted = mount("tmpfs", m_Dir.File("small").c_str(), "tmpfs", 0, "size=12k") == 0;
        if (!m_Mounted)
            GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
        json = m_Dir.File("small/records.jsonl");
        args.insert(args.end(), {"--log-dir", m_Dir.File("small/logs")});
    }
    args.insert(args.end(), {"--json", json});
    if (row.watch)
        args.push_back("--watch");
    for (int k = 0; k < row.receivers; ++k) {
        Receiver(m_Dir.File("p" + std::to_string(k)));
        if (!row.watch)
            args.push_back(m_Dir.File("p" + std::to_string(k)));
    }
    if (row.watch)
        args.push_back(m_Dir.File("p*"));
    ProcessResult r = RunLine(args, 180000);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 6) << r.out << Err();
    EXPECT_NE(Err().find("No space left on device; no new unit is started"), std::string::npos) << Err();
    if (row.tmpfs)
        Records(json); // no half line
}

INSTANTIATE_TEST_SUITE_P(Rows, FullDisk,
                         ::testing::Values(FullRow{"BatchOnASmallFileSystem", false, true, 4},
                                           FullRow{"WatchToDevFull", true, false, 2}),
                         [](const ::testing::TestParamInfo<FullRow>& info) {
                             return std::string(info.param.name);
                         });

struct BoardRow {
    const char* name;
    size_t ports;
    size_t width;
    size_t rows;
    size_t lines; // most lines the block may take
};

void PrintTo(const BoardRow& row, std::ostream* os) {
    *os << row.name;
}

class Board : public ::testing::TestWithParam<BoardRow> {};

// The board's block never wraps (each line short of the width, escapes aside), fits the rows, and names
// failed and not-verified units in words and colour.
TEST_P(Board, FitsTheTerminal) {
    const BoardRow& row = GetParam();
    std::vector<SlotView> views;
    for (size_t k = 0; k < row.ports; ++k) {
        SlotView v;
        v.port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285B" + std::to_string(k) + "-if00-port0";
        v.phase = k % 4 == 0 ? "programming" : k % 4 == 1 ? "passed" : k % 4 == 2 ? "failed" : "not verified";
        v.perMille = k % 4 == 0 ? 734 : -1;
        v.rate = 10900;
        v.left = 12;
        v.unit = "TZ5N KV00000" + std::to_string(k) + " (0102)";
        v.versionAfter = "A123";
        v.verdict = static_cast<int>(k % 4);
        views.push_back(v);
    }
    for (bool colour : {false, true}) {
        const std::vector<std::string> block = CStationDisplay::Block(views, row.width, row.rows, colour);
        EXPECT_LE(block.size(), row.lines);
        std::string all;
        for (std::string line : block) {
            all += line + "\n";
            for (size_t at; (at = line.find('\033')) != std::string::npos;)
                line.erase(at, line.find('m', at) - at + 1);
            EXPECT_LT(line.size(), row.width) << line;
        }
        if (row.ports <= row.rows - 2) {
            EXPECT_NE(all.find("failed"), std::string::npos) << all;
            EXPECT_NE(all.find("not verified"), std::string::npos) << all;
            EXPECT_NE(all.find("-> A123"), std::string::npos) << all;
        }
        EXPECT_EQ(all.find("\033[1;31m") != std::string::npos, colour && row.ports > 2) << all;
    }
    std::vector<SummaryRow> table;
    for (const SlotView& v : views)
        table.push_back({v.port, v.phase, 5, "KV000001", "0102", "A123", 12});
    for (const std::string& line : CStationDisplay::TableLines(table, row.width))
        EXPECT_LT(line.size(), row.width) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Board,
    ::testing::Values(BoardRow{"EightAt80", 8, 80, 24, 8}, BoardRow{"FortyIn30Rows", 40, 80, 30, 28},
                      BoardRow{"FortyIn10Rows", 40, 80, 10, 8}, BoardRow{"FourAt40", 4, 40, 24, 4}),
    [](const ::testing::TestParamInfo<BoardRow>& info) { return std::string(info.param.name); });

// The final table is in the ports' natural order (p2 before p10) and names the image and its hash.
TEST_F(LineTest, FinalTableInPortOrder) {
    std::string image = SmallImage();
    Receiver(m_Dir.File("p10"));
    Receiver(m_Dir.File("p2"), {"--fault", "erase-fail"});
    ProcessResult r = RunLine({"-i", image, m_Dir.File("p10"), m_Dir.File("p2")});
    EXPECT_EQ(r.exitCode, 5) << r.out;
    const std::string sum = RunProcess({"/usr/bin/sha256sum", image}, {}, 10000).out.substr(0, 64);
    const size_t head = r.out.find("PORT ");
    ASSERT_NE(head, std::string::npos) << r.out;
    // A long folder name is cut at the front; the ports' ends stay.
    const size_t p2 = r.out.find("/p2 ", head), p10 = r.out.find("/p10 ", head);
    ASSERT_NE(p10, std::string::npos) << r.out;
    EXPECT_LT(p2, p10) << r.out;
    EXPECT_NE(r.out.find("SHA-256 " + sum), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("image " + image + " (firmware A123, "), std::string::npos) << r.out;
}
