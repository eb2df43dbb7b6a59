// kavrel-line as a process against kavrel-sim processes: exit codes, records, flash contents, watch mode.

#include "Process.h"
#include "Support.h"
#include "TestImages.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

namespace {

const std::string BIN = KV_BIN_DIR;

using Json = nlohmann::json;

std::map<std::string, Json> RecordsByPort(const std::string& path) {
    std::map<std::string, Json> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        Json j = Json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << line;
        if (j.is_object())
            records[j.at("port").get<std::string>()] = j;
    }
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
    ExpectFlashHoldsImage(0, "p0", image);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultBatch,
    // One row for each way a slot ends (the job's own handling of every fault is the fault matrix's).
    ::testing::Values(FaultRow{"silent", 4, "no receiver"}, FaultRow{"erase-fail", 5, "failed"},
                      FaultRow{"bad-csum:3", 0, "passed"}, FaultRow{"no-complete", 5, "failed"},
                      FaultRow{"hangup:3", 5, "failed"}),
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
    ProcessResult r = RunProcess(
        Line({"-i", image, "--skip-blank", "--log-dir", m_Dir.Path(), m_Dir.File("p0")}), {}, 120000);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ExpectFlashHoldsImage(0, "p0", image);

    ProcessResult sum = RunProcess({"/usr/bin/sha256sum", image}, {}, 10000);
    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    const Json& j = records.begin()->second;
    EXPECT_EQ(j.size(), 19u);
    EXPECT_EQ(j.at("port").get<std::string>(), m_Dir.File("p0"));
    EXPECT_TRUE(j.at("adapterSerial").is_null()); // a pseudo-terminal has no USB adapter
    EXPECT_EQ(j.at("receiverModel").get<std::string>(), "TZ5N");
    EXPECT_EQ(j.at("serialNumber").get<std::string>(), "KV000001");
    EXPECT_EQ(j.at("options").get<std::string>(), "GPS-GLO");
    EXPECT_EQ(j.at("firmwareBefore").get<std::string>(), "0102");
    EXPECT_EQ(j.at("firmwareAfter").get<std::string>(), "A123");
    EXPECT_EQ(j.at("image").get<std::string>(), image);
    EXPECT_EQ(j.at("imageSha256").get<std::string>(), sum.out.substr(0, 64));
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
    std::string log = ReadAll(j.at("logFile").get<std::string>());
    EXPECT_NE(log.find("\tBlank frames not sent: "), std::string::npos);
    EXPECT_NE(log.find("\tFLASH Programing Complete."), std::string::npos);
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
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Verification,
    ::testing::Values(VerifyRow{"OtherVersion",
                                false,
                                {"--reboot-version", "B999"},
                                "the receiver reports version B999, the image holds A123"},
                      VerifyRow{"OtherSerial",
                                true,
                                {},
                                "the receiver reports serial KV000001, the image holds TZ5A00001234"}),
    [](const ::testing::TestParamInfo<VerifyRow>& info) { return std::string(info.param.name); });

// Watch mode: a receiver whose link appears while the station runs is flashed once, and not again while it
// stays connected; SIGTERM ends the station cleanly.
TEST_F(LineTest, WatchFlashesAnAppearingReceiverOnce) {
    std::string image = SmallImage();
    std::string out = m_Dir.File("line.out");
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" > " + out + " 2>&1"};
    for (const std::string& a : Line({"-i", image, "--watch", m_Dir.File("p*")}))
        argv.push_back(a);
    CChildProcess line;
    ASSERT_TRUE(line.Start(argv, {}));
    StartSim("p0", {}, false);

    EXPECT_TRUE(test::WaitUntil(
        [&] { return ReadAll(out).find("still connected, not flashed again") != std::string::npos; }, 120000))
        << ReadAll(out);
    EXPECT_EQ(line.Stop(20000), 0) << ReadAll(out);
    std::map<std::string, Json> records = RecordsByPort(m_Dir.File("records.jsonl"));
    ASSERT_EQ(records.size(), 1u) << ReadAll(out);
    EXPECT_EQ(records.begin()->second.at("result").get<std::string>(), "passed");
    EXPECT_EQ(ReadAll(out).find("receiver "), ReadAll(out).rfind("receiver ")) << ReadAll(out);
}
