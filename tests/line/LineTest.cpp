// kavrel-line as a process against kavrel-sim processes: exit codes, records, flash contents, watch mode.

#include "Process.h"
#include "Support.h"
#include "TestImages.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <variant>

namespace {

const std::string BIN = KV_BIN_DIR;

// Just enough JSON for one record: objects, strings, numbers, true, false, null.
struct Json;
using JsonObject = std::map<std::string, Json>;
struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, JsonObject> v;
    bool IsNull() const { return std::holds_alternative<std::nullptr_t>(v); }
    const std::string& Str() const { return std::get<std::string>(v); }
    double Num() const { return std::get<double>(v); }
    bool Bool() const { return std::get<bool>(v); }
    const Json& operator[](const std::string& key) const { return std::get<JsonObject>(v).at(key); }
    size_t Size() const { return std::get<JsonObject>(v).size(); }
};

class CJsonReader {
public:
    explicit CJsonReader(const std::string& text) : m_Text(text) {}
    bool Read(Json& out) { return Value(out) && (Skip(), m_At == m_Text.size()); }

private:
    void Skip() {
        while (m_At < m_Text.size() && std::isspace(static_cast<unsigned char>(m_Text[m_At])))
            ++m_At;
    }
    bool Take(char c) {
        Skip();
        if (m_At < m_Text.size() && m_Text[m_At] == c)
            return ++m_At, true;
        return false;
    }
    bool Word(const char* w) {
        size_t n = std::strlen(w);
        if (m_Text.compare(m_At, n, w) != 0)
            return false;
        m_At += n;
        return true;
    }
    bool String(std::string& s) {
        if (!Take('"'))
            return false;
        while (m_At < m_Text.size() && m_Text[m_At] != '"') {
            char c = m_Text[m_At++];
            if (c == '\\' && m_At < m_Text.size()) {
                char e = m_Text[m_At++];
                if (e == 'u') {
                    c = static_cast<char>(std::stoi(m_Text.substr(m_At, 4), nullptr, 16));
                    m_At += 4;
                } else {
                    c = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            }
            s += c;
        }
        return Take('"');
    }
    bool Value(Json& out) {
        Skip();
        if (m_At >= m_Text.size())
            return false;
        char c = m_Text[m_At];
        if (c == '{') {
            ++m_At;
            JsonObject obj;
            if (!Take('}')) {
                do {
                    std::string key;
                    Json value;
                    if (!String(key) || !Take(':') || !Value(value) || obj.count(key))
                        return false;
                    obj[key] = value;
                } while (Take(','));
                if (!Take('}'))
                    return false;
            }
            out.v = obj;
            return true;
        }
        if (c == '"') {
            std::string s;
            if (!String(s))
                return false;
            out.v = s;
            return true;
        }
        if (Word("true"))
            return out.v = true, true;
        if (Word("false"))
            return out.v = false, true;
        if (Word("null"))
            return out.v = nullptr, true;
        size_t used = 0;
        double d = std::stod(m_Text.substr(m_At), &used);
        m_At += used;
        out.v = d;
        return used > 0;
    }
    const std::string& m_Text;
    size_t m_At = 0;
};

std::map<std::string, Json> RecordsByPort(const std::string& path) {
    std::map<std::string, Json> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        Json j;
        EXPECT_TRUE(CJsonReader(line).Read(j)) << line;
        if (!j.IsNull())
            records[j["port"].Str()] = j;
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
    EXPECT_EQ(good["result"].Str(), "passed");
    EXPECT_EQ(good["exitCode"].Num(), 0);
    EXPECT_TRUE(good["verified"].Bool());
    const Json& faulty = records[m_Dir.File("p1")];
    EXPECT_EQ(faulty["result"].Str(), row.result) << r.out;
    EXPECT_EQ(faulty["exitCode"].Num(), row.code);
    EXPECT_EQ(faulty["reason"].IsNull(), row.code == 0) << r.out;
    ExpectFlashHoldsImage(0, "p0", image);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultBatch,
    ::testing::Values(FaultRow{"silent", 4, "no receiver"}, FaultRow{"ldr-only", 0, "passed"},
                      FaultRow{"erase-fail", 5, "failed"}, FaultRow{"size-exceeded", 5, "failed"},
                      FaultRow{"bad-csum:3", 0, "passed"}, FaultRow{"no-ack:3", 0, "passed"},
                      FaultRow{"no-complete", 5, "failed"}, FaultRow{"noise", 0, "passed"},
                      FaultRow{"hangup:3", 5, "failed"}, FaultRow{"stall:3", 5, "failed"},
                      FaultRow{"slow-erase:300", 0, "passed"}),
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
    EXPECT_EQ(j.Size(), 19u);
    EXPECT_EQ(j["port"].Str(), m_Dir.File("p0"));
    EXPECT_TRUE(j["adapterSerial"].IsNull()); // a pseudo-terminal has no USB adapter
    EXPECT_EQ(j["receiverModel"].Str(), "TZ5N");
    EXPECT_EQ(j["serialNumber"].Str(), "KV000001");
    EXPECT_EQ(j["options"].Str(), "GPS-GLO");
    EXPECT_EQ(j["firmwareBefore"].Str(), "0102");
    EXPECT_EQ(j["firmwareAfter"].Str(), "A123");
    EXPECT_EQ(j["image"].Str(), image);
    EXPECT_EQ(j["imageSha256"].Str(), sum.out.substr(0, 64));
    EXPECT_EQ(j["result"].Str(), "passed");
    EXPECT_EQ(j["exitCode"].Num(), 0);
    EXPECT_TRUE(j["verified"].Bool());
    EXPECT_TRUE(j["reason"].IsNull());
    // The gap between the PFL and the main firmware is erased flash in the file: whole frames of 0xFF.
    const double size = static_cast<double>(ReadAll(image).size());
    EXPECT_GE(j["bytesSkipped"].Num(), 4 * 2048);
    EXPECT_EQ(j["bytesWritten"].Num() + j["bytesSkipped"].Num(), size + (static_cast<size_t>(size) & 1));
    for (const char* phase : {"check", "loader", "erase", "program", "restart"})
        EXPECT_GT(j["phaseMs"][phase].Num(), 0) << phase;
    EXPECT_EQ(j["phaseMs"].Size(), 5u);
    // UTC, ISO 8601, in order.
    const std::string start = j["startTime"].Str(), end = j["endTime"].Str();
    EXPECT_EQ(start.size(), 24u);
    EXPECT_EQ(start.substr(10, 1) + start.substr(23), "TZ");
    EXPECT_LE(start, end);
    std::string log = ReadAll(j["logFile"].Str());
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
    ProcessResult help = RunProcess({BIN + "/kavrel-sim", "--help"}, {}, 10000);
    if (!row.sim.empty() && help.out.find(row.sim[0]) == std::string::npos)
        GTEST_SKIP() << "this kavrel-sim has no " << row.sim[0];
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
    EXPECT_EQ(j["result"].Str(), "not verified");
    EXPECT_FALSE(j["verified"].Bool());
    EXPECT_EQ(j["reason"].Str(), row.reason);
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
    EXPECT_EQ(records.begin()->second["result"].Str(), "passed");
    EXPECT_EQ(ReadAll(out).find("receiver "), ReadAll(out).rfind("receiver ")) << ReadAll(out);
}
