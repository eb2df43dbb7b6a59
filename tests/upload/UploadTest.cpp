// The receiver check and the upload worker, with the whole system on real pseudo-terminals: the simulated
// receiver (or a bare terminal the test writes bytes into), short worker limits, and a stand-in for the part
// of the dialog's refresh step that the workers rely on (draining both queues, asking for checks).

#include "Pty.h"
#include "SimSession.h"
#include "TestImages.h"
#include "core/Clock.h"
#include "image/LoadImage.h"
#include "serial/PortTable.h"
#include "sim/SimNmea.h"
#include "upload/System.h"
#include "upload/UploadCheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

using test::WaitUntil;

// The sentences the test writes carry the checksum the simulated receiver puts on its own.
const auto Nmea = NmeaSentence;

// The strict simulated receiver; the system under test opens the port itself.
struct CSim : CSimSession {
    static SimOptions Fast() { return FastSimOptions(true); }
    explicit CSim(const SimOptions& o = Fast()) : CSimSession(o) {
        std::string error;
        EXPECT_TRUE(Start(error, false)) << error;
    }
    ~CSim() { EXPECT_EQ(rx.ViolationCount(), 0u) << rx.StatsText(); } // every host byte was expected
    CSimReceiver& rx = *m_Sim;
};

// Checks: a raised "port opened" cell is answered with a check, as the refresh step does. Hostile: besides,
// once the target upload has begun, a check is asked for on every tick and the receiver marked identified
// while a loader banner is there, as an unmended refresh step did.
enum class Dialog { Quiet, Checks, Hostile };

class CHarness {
public:
    explicit CHarness(const std::string& programDir = {}, Dialog dialog = Dialog::Quiet)
        : m_System(programDir), m_Dialog(dialog) {
        m_System.m_Check.m_Timing.idleWaitMs = 50;
        m_System.m_Job.m_JobTiming = {50, 50, 300, 10000, 10, 300, 8000};
        m_System.m_Job.m_Timings.budgetUnitMs = 200;
        m_System.m_PortWorker.m_PassWaitMs = m_System.m_PortWorker.m_RetryWaitMs = 20;
    }
    ~CHarness() {
        m_Quit.store(true);
        if (m_Pump.joinable())
            m_Pump.join();
        m_System.Shutdown();
    }
    // Starts the workers and selects path as the port; true once the port worker has opened it.
    bool Open(const std::string& path) {
        m_System.StartWorkers();
        if (!m_Pump.joinable())
            m_Pump = std::thread([this] { Pump(); });
        int slot = FindPortName(path);
        if (slot < 0 && AddPortName(path.c_str()))
            slot = FindPortName(path);
        if (path.empty() || slot <= 0)
            return false;
        m_System.m_PortWorker.RequestPort(slot);
        return WaitUntil([&] { return Port().IsOpen() != 0; });
    }
    // Runs one check and waits for its end.
    bool RunCheck() {
        m_System.m_Check.RequestCheck();
        return WaitUntil([&] { return m_System.m_Check.m_CheckRunning.Get() == 0; });
    }
    std::vector<std::string> Logs(bool statuses = false) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // lines queued just now are in
        std::lock_guard<std::mutex> lock(m_Lock);
        return statuses ? m_Statuses : m_Logs;
    }
    std::string LogText() {
        std::string all;
        for (const auto& line : Logs())
            all += line + "\n";
        return all;
    }
    // Log lines equal to text in [from, to).
    int Count(const std::string& text, int from = 0, int to = 1 << 30) {
        const auto logs = Logs();
        return int(std::count(logs.begin() + std::min<size_t>(from, logs.size()),
                              logs.begin() + std::min<size_t>(to, logs.size()), text));
    }
    // Index of the first log line starting with text at or after from, or -1.
    int Find(const std::string& text, int from = 0) {
        const auto logs = Logs();
        for (int i = std::max(from, 0); i < int(logs.size()); ++i)
            if (logs[i].rfind(text, 0) == 0)
                return i;
        return -1;
    }
    // True when the lines appear in this order (others may come between).
    bool InOrder(const std::vector<std::string>& want, bool statuses = false) {
        size_t at = 0;
        for (const auto& line : Logs(statuses))
            at += at < want.size() && line == want[at];
        return at == want.size();
    }
    CCommPort& Port() { return *m_System.m_PortWorker.m_Port; }

    CSystem m_System;

private:
    void Add(std::vector<std::string>& lines, const std::string& line) {
        std::lock_guard<std::mutex> lock(m_Lock);
        lines.push_back(line);
    }
    void Pump() {
        CSystem& s = m_System;
        for (; !m_Quit.load(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            for (auto line = s.m_Channel.m_StatusQueue.Pop(); line; line = s.m_Channel.m_StatusQueue.Pop())
                Add(m_Statuses, *line);
            for (auto line = s.m_Channel.m_LogQueue.Pop(); line; line = s.m_Channel.m_LogQueue.Pop())
                Add(m_Logs, line->substr(line->find('\t') + 1));
            if (m_Dialog != Dialog::Quiet && s.m_PortWorker.m_PortOpened.Changed() &&
                s.m_PortWorker.m_PortOpened.Get() != 0)
                s.m_Check.RequestCheck();
            if (m_Dialog == Dialog::Hostile && s.m_Job.m_Phase.Get() > 0) {
                s.m_Check.RequestCheck();
                if (s.m_Check.m_Identified.Get() == 0 && !s.m_Job.m_PfldVersion.Get().empty())
                    s.m_Check.m_Identified.Set(1);
            }
        }
    }

    Dialog m_Dialog;
    std::atomic<bool> m_Quit{false};
    std::mutex m_Lock;
    std::vector<std::string> m_Logs, m_Statuses;
    std::thread m_Pump;
};

std::string Joined(const ReceiverTexts& t) {
    return t.model + "|" + t.version + "|" + t.options + "|" + t.serial;
}

const std::string STARS = "**********************";

class Job : public ::testing::Test {
protected:
    void SetUp() override { m_Dir.Write("tz5_sfl.hex", SfldFile("SFLD upload 1.0", 3000)); }
    std::vector<uint8_t> LoadUnion(CHarness& h, uint32_t total) {
        auto bytes = UnionImage(total, "T100", 5);
        EXPECT_TRUE(LoadImage(h.m_System.m_Image, m_Dir.Write("union.bin", bytes), h.m_System.m_Channel));
        return bytes;
    }
    // What the upload command does once the receiver is identified.
    void StartLikeTheDialog(CHarness& h) {
        ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; })) << h.LogText();
        h.Port().SendString("$PQELS,PFL,UPL\r\n");
        h.m_System.m_Job.StartUpload();
    }
    static bool WaitJobEnd(CHarness& h) {
        return WaitUntil([&] { return h.m_System.m_Job.m_Start.Get() == 0; }, 60000);
    }
    // The result was published: the dialog reacts to the cell's change, an unattended run ends on it.
    static void ExpectResult(CHarness& h, int want) {
        EXPECT_NE(h.m_System.m_Job.m_Result.Changed(), 0) << h.LogText();
        EXPECT_EQ(h.m_System.m_Job.m_Result.Get(), want) << h.LogText();
    }
    static bool FlashHolds(CSim& sim, const std::vector<uint8_t>& image) { // the flash holds 4 MiB
        return std::equal(image.begin(), image.end(), sim.rx.FlashCopy().begin());
    }

    CTestDir m_Dir;
};

} // namespace

TEST(Check, SimulatedReceiverIdentities) {
    // clang-format off
    const struct { std::function<void(SimOptions&)> setup; const char* texts; const char* absent; } rows[] = {
        {[](SimOptions& o) { o.start = SimStartStage::Pfld, o.pfldVersion = "12.10"; }, "PFLD|12.10||", "2"},
        {[](SimOptions& o) { o.model = "KESTRIN-X", o.version = "0307", o.options = "GPS-GAL", o.serial = "K12"; },
         "KESTRIN-X|0307|GPS-GAL|K12", "timeout"}, // the version exactly as the options reply has it
        {[](SimOptions& o) { o.type = "TZ5A", o.version = "0700", o.rioNak = true; }, "TZ5A|7.0||", "4"},
        {[](SimOptions& o) { o.type = "TZ5A", o.version = "T100", o.rioNak = true; }, "TZ5A|T100||", "4"},
        {[](SimOptions& o) { o.nmeaNoiseMs = 5; }, "TZ5N|0102|GPS-GLO|KV000001", "timeout"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.texts);
        SimOptions o = CSim::Fast();
        row.setup(o);
        CSim sim(o);
        CHarness h;
        ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
        // The texts are read from another thread while checks write them: always one whole identity.
        std::atomic<bool> quit{false};
        std::thread reader([&] {
            for (std::string model; !quit.load(); model = h.m_System.m_Check.Texts().model)
                EXPECT_TRUE(model.empty() || model == o.type ||
                            std::string(row.texts).rfind(model + "|", 0) == 0);
        });
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE(h.RunCheck() && h.m_System.m_Check.m_Identified.Get() == 1);
        quit.store(true);
        reader.join();
        EXPECT_EQ(Joined(h.m_System.m_Check.Texts()), row.texts);
        EXPECT_EQ(h.Count(row.absent), 0) << h.LogText();
        EXPECT_TRUE(o.start == SimStartStage::Pfld ||
                    h.InOrder({"Check receiver", "1", "2", "3", "receiver checked"}));
    }
}

TEST(Check, ByteStreamsFromTheReceiver) {
    const std::string rid = Nmea("PQELR,RID,TZ5N,0102"), nak = Nmea("PQELR,NAK"),
                      pfld = Nmea("PQELR,RID,PFLD,0105");
    std::string badRid = rid, badRio = Nmea("PQELR,RIO,JUNK,9,0,X,Y"), badNak = nak;
    badNak[badNak.size() - 3] ^= 1;
    badRid[badRid.size() - 3] ^= 1; // one checksum digit spoilt
    badRio[badRio.size() - 4] ^= 1;
    const std::string gga = Nmea("GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    // Bytes already waiting when the check starts; each reply is taken in turn.
    // clang-format off
    const struct { std::string bytes; const char* texts; int sends, crcErrors; bool identified = true; } rows[] = {
        {gga + gga + Nmea("PQELR,RID,TZ5N,0204") + nak, "TZ5N|2.4||", 3, 0}, // each foreign sentence: a new query
        {badRid + rid + nak, "TZ5N|1.2||", 2, 1},
        {rid + Nmea("PQELR,RIO,M1,0102,0,OPTS") + rid + Nmea("PQELR,RIO,M2,12,0,O2,S2"), "M2|12|O2|S2", 2, 0},
        {Nmea("PQELR,RID,TZ5B,0305") + badRio + nak, "TZ5B|3.5||", 1, 1},     // a corrupt reply keeps the type
        {"noise$" + std::string(200, 'x') + "\r\n" + pfld, "PFLD|1.5||", 1, 0},  // overlong: dropped
        // A full one, one a byte too long (dropped) and a tiny one.
        {"$" + std::string(126, 'y') + "\r\n$" + std::string(127, 'z') + "\r\n$A\r\n" + pfld, "PFLD|1.5||", 3, 0},
        {"no dollar here\r\n", "|||", 3, 0, false},
        // A refusal whose checksum is wrong, or not even hexadecimal, identifies nothing.
        {rid + badNak + "$PQELR,NAK*zz\r\n", "TZ5N|0102||", 1, 1, false},
    };
    // clang-format on
    // One terminal for all: each check starts from the texts the one before left.
    test::CPty pty;
    pty.HoldSlave(); // a bare terminal whose far end holds only the bytes the test writes into it
    auto harness = std::make_unique<CHarness>();
    CHarness& h = *harness;
    CReceiverCheck& check = h.m_System.m_Check;
    ASSERT_TRUE(h.Open(pty.Path()));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bytes);
        const int logs = int(h.Logs().size());
        ASSERT_TRUE(pty.Write(row.bytes));
        const uint32_t start = TickMs();
        ASSERT_TRUE(h.RunCheck());
        const bool identified = row.identified;
        EXPECT_EQ(check.m_Identified.Get(), identified ? 1 : 0);
        EXPECT_EQ(Joined(check.Texts()), row.texts);
        EXPECT_EQ(h.Count("crc not equal", logs), row.crcErrors);
        const int sends = h.Count("send command", logs);
        EXPECT_TRUE(sends == row.sends || (!identified && sends == 4)) << sends << "\n" << h.LogText();
        if (identified)
            continue;
        // No receiver: the whole limit passes, then "timeout" with the clock.
        EXPECT_GE(ElapsedMs(start), 3000u);
        EXPECT_EQ(h.Find("time start ", logs), h.Find("Check receiver", logs) + 1);
        EXPECT_EQ(h.Find("time ", h.Find("timeout", logs)), h.Find("timeout", logs) + 1) << h.LogText();
    }

    // The dialog marks the receiver identified after showing a loader banner: the check ends with "receiver
    // checked" and reports itself finished instead of starting over. A shutdown ends a check at once.
    check.m_Timing.checkLimitMs = 60000;
    const int mark = int(h.Logs().size());
    check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h.Count("send command", mark) == 1; }));
    check.m_Identified.Set(1);
    EXPECT_TRUE(WaitUntil([&] { return check.m_CheckRunning.Get() == 0; }, 5000));
    EXPECT_EQ(h.Count("receiver checked", mark) + h.Count("Check receiver", mark), 2);
    // The upload job takes the line: the running check gives way at its next look and the job goes on at
    // once, not after the check's whole limit.
    check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h.Count("send command", mark) == 2; }));
    const uint32_t held = TickMs();
    EXPECT_TRUE(check.HoldLine(10000));
    EXPECT_LT(ElapsedMs(held), 2000u);
    check.ReleaseLine();
    check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h.Count("send command", mark) == 3; }));
    const uint32_t start = TickMs();
    harness.reset();
    EXPECT_LT(ElapsedMs(start), 3000u);
}

TEST(Verify, OnlyTheReceiverCheckedWithWhatTheImageHolds) {
    const ReceiverTexts checked = {"TZ5N", "0102", "GPS-GLO", "KV000001"};
    const ImageExpectation firmware = {false, "A123", "", ""}, options = {true, "", "TZ5A01", ""},
                           optionsNamed = {true, "", "TZ5A01", "GPS-GAL"};
    const std::string stranger = "a different receiver answered (TZ5X STRANGER9)";
    // clang-format off
    const struct { const char* name; ImageExpectation expected; ReceiverTexts before; bool identified;
                   ReceiverTexts after; bool different; std::string reason; } rows[] = {
        {"same receiver", firmware, checked, true, {"TZ5N", "A123", "GPS-GLO", "KV000001"}, false, ""},
        {"version as converted", firmware, {"TZ5A", "1.2", "", ""}, true, {"TZ5A", "A123", "", ""}, false, ""},
        // Checked by its type alone (it refused the options query): the new firmware may answer it.
        {"options query answered now", firmware, {"TZ5A", "1.2", "", ""}, true, {"KESTRIN-X", "A123", "G", "K12"},
         false, ""},
        {"another type, both refusing", firmware, {"TZ5A", "1.2", "", ""}, true, {"TZ5X", "A123", "", ""}, true,
         "a different receiver answered (TZ5X (no serial))"},
        {"another model and serial", firmware, checked, true, {"TZ5X", "A123", "GPS-GLO", "STRANGER9"}, true,
         stranger},
        {"another serial", firmware, checked, true, {"TZ5N", "A123", "GPS-GLO", "KV000002"}, true,
         "a different receiver answered (TZ5N KV000002)"},
        {"another model", firmware, checked, true, {"TZ5X", "A123", "GPS-GLO", "KV000001"}, true,
         "a different receiver answered (TZ5X KV000001)"},
        {"no serial after", firmware, checked, true, {"TZ5N", "A123", "", ""}, true,
         "a different receiver answered (TZ5N (no serial))"},
        {"other version", firmware, checked, true, {"TZ5N", "0999", "GPS-GLO", "KV000001"}, false,
         "the receiver reports version 0999, the image holds A123"},
        {"checked in its loader", firmware, {"PFLD", "1.5", "", ""}, true, {"TZ5X", "A123", "", "S"}, false, ""},
        {"nothing checked", firmware, {}, true, {"TZ5N", "A123", "", "KV000001"}, false, ""},
        {"not identified", firmware, checked, false, {}, false,
         "the receiver did not identify itself after the restart"},
        {"still in its loader", firmware, checked, true, {"PFLD", "1.5", "", ""}, false,
         "the receiver is still in its loader (PFLD 1.5)"},
        {"Options taken", options, checked, true, {"TZ5N", "0102", "GPS-GLO", "TZ5A01"}, false, ""},
        {"Options taken, named options", optionsNamed, checked, true, {"TZ5N", "0102", "GPS-GAL", "TZ5A01"}, false,
         ""},
        {"Options, other options", optionsNamed, checked, true, {"TZ5N", "0102", "GPS-GLO", "TZ5A01"}, false,
         "the receiver reports options GPS-GLO, the image holds GPS-GAL"},
        {"Options, another model", options, checked, true, {"TZ5X", "0102", "GPS-GLO", "TZ5A01"}, true,
         "a different receiver answered (TZ5X TZ5A01)"},
        {"Options, a third serial", options, checked, true, {"TZ5N", "0102", "GPS-GLO", "STRANGER9"}, true,
         "a different receiver answered (TZ5N STRANGER9)"},
        {"Options not taken", options, checked, true, checked, false,
         "the receiver reports serial KV000001, the image holds TZ5A01"},
        {"Options, no options", options, checked, true, {"TZ5N", "0102", "", "TZ5A01"}, false,
         "the receiver reports no options"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const VerifyOutcome v = VerifyReceiver(row.expected, row.before, row.identified, row.after);
        EXPECT_EQ(v.verified, row.reason.empty());
        EXPECT_EQ(v.differentReceiver, row.different);
        EXPECT_EQ(v.reason, row.reason);
    }
}

TEST_F(Job, WholeJobs) {
    // Second row: the receiver goes mute to queries after the upload sentence, so the receiver wait runs out
    // its budget while checks run, and the dialog asks for a check on every tick. From the end of the
    // receiver wait to the restart no check may write into the loader link.
    for (bool mute : {false, true}) {
        SCOPED_TRACE(mute);
        SimOptions o = CSim::Fast();
        o.fwBaud = 0; // the firmware follows the host's speed
        o.fault = mute ? SimFault::MuteAfterUpl : SimFault::None;
        CSim sim(o);
        CHarness h(m_Dir.Path(), mute ? Dialog::Hostile : Dialog::Checks);
        CUploadJob& job = h.m_System.m_Job;
        job.m_ConnectBudget.store(5); // 1 s
        h.m_System.m_Check.m_Timing.checkLimitMs = 300;
        h.m_System.m_Check.m_Timing.sentenceLimitMs = 100;
        ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
        h.Port().SetBaudIndex(5);
        h.m_System.m_Check.RequestCheck();
        const auto image = LoadUnion(h, 0xC000);
        const uint32_t start = TickMs();
        StartLikeTheDialog(h);
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        // The mute receiver is awaited for the whole budget, with a fresh check asked for after each failed
        // one.
        EXPECT_TRUE(!mute || ElapsedMs(start) >= 1000u);
        EXPECT_TRUE(!mute ||
                    h.Count("Check receiver", h.Find("Wait for receiver check"), h.Find("Baud rate")) >= 2);

        // From the loader link's first line to the restart (or the job's closing line when it failed).
        const int begin = h.Find("Baud rate - 115200"), restart = h.Find("delay after upload");
        const int end = restart >= 0 ? restart : h.Find(STARS, h.Find("*** FLASH Upload") + 2);
        ASSERT_TRUE(begin >= 0 && end > begin) << h.LogText();
        const int checks = h.Count("Check receiver", begin, end);
        std::cout << "checks during the upload: " << checks << "\n";
        EXPECT_EQ(checks + h.Count("send command", begin, end) + h.Count("2", begin, end), 0) << h.LogText();

        ExpectResult(h, 1);
        EXPECT_EQ(job.m_Progress.Get(), 1000);
        EXPECT_EQ(job.m_PfldVersion.Get(), "");
        EXPECT_TRUE(FlashHolds(sim, image));
        EXPECT_EQ(h.Port().GetBaudIndex(), 5); // back from the loader link's 115200
        // The receiver the job flashed: its own check, or the one before the upload sentence for the mute
        // one.
        EXPECT_EQ(Joined(job.m_ReceiverChecked.Get()), "TZ5N|0102|GPS-GLO|KV000001");
        // The restarted receiver identified itself again within the restart phase.
        EXPECT_TRUE(mute || h.m_System.m_Check.m_Identified.Get() == 1);
        EXPECT_EQ(h.Logs(true),
                  (std::vector<std::string>{"Erasing FLASH memory", "Programming",
                                            "Wait for upload to complete.", "Upload complete"}));
        // clang-format off
        std::vector<std::string> order = {STARS, "*** FLASH Upload ****", STARS, "delay before upload",
            "Wait for receiver check", "Check receiver", "Baud rate - 115200", "wait for upload to complete",
            "UU\r\n", // the first two marks are collected, the third ends the wait
            "upload complete", "delay after upload", "Wait for receiver check", "continue", STARS};
        // clang-format on
        EXPECT_TRUE(h.InOrder(order)) << h.LogText();
    }
}

TEST_F(Job, EveryFailureIsPublished) {
    enum Act { NONE, CANCEL_WAITING, CANCEL_WRITING, SHUTDOWN };
    const std::string failed = "ERROR: upload failed";
    // MuteAfterUpl: the receiver is identified first and the job started as the dialog does.
    // clang-format off
    struct Row { const char* name; SimFault fault; int budget; Act act; std::vector<std::string> statuses, logs; } rows[] = {
        {"no completion mark", SimFault::NoComplete, 3, NONE,
         {"Erasing FLASH memory", "Programming", "Wait for upload to complete.", failed},
         {"wait for upload to complete", failed, STARS}},
        {"silent receiver", SimFault::Silent, 3, NONE, {failed}, {"TZ5 PFL - not connected", failed, STARS}},
        {"negative budget", SimFault::MuteAfterUpl, -1, NONE, {failed},
         {"Wait for receiver check", "Baud rate - 115200", "TZ5 PFL - not connected", failed}},
        {"no port", SimFault::None, 3, NONE, {failed},
         {STARS, "*** FLASH Upload ****", STARS, "ERROR: no port available", failed, STARS}},
        {"cancel waiting", SimFault::MuteAfterUpl, 150, CANCEL_WAITING, {failed, "Upload canceled"},
         {"Wait for receiver check", failed, "Upload cancel", STARS}},
        {"cancel writing", SimFault::None, 3, CANCEL_WRITING,
         {"Erasing FLASH memory", "Programming", failed, "Upload canceled"}, {failed, "Upload cancel", STARS}},
        {"shutdown writing", SimFault::None, 3, SHUTDOWN, {}, {}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool port = std::string(row.name) != "no port";
        SimOptions o = CSim::Fast();
        o.fault = row.fault;
        o.programMs = row.act == NONE ? 1 : 40;
        // Without a loader-mode sentence before it (none sent, or cancelled) the firmware hears the loader's
        // version query.
        o.strict = row.fault != SimFault::MuteAfterUpl;
        CSim sim(o);
        auto harness = std::make_unique<CHarness>(m_Dir.Path(), Dialog::Checks);
        CHarness& h = *harness;
        CUploadJob& job = h.m_System.m_Job;
        job.m_JobTiming.completionWaitMs = 1500;
        job.m_ConnectBudget.store(row.budget);
        job.m_Timings.pfldVersionMs = 200;
        h.m_System.m_Check.m_Timing.checkLimitMs = 800;
        ASSERT_EQ(h.Open(port ? sim.rx.SlavePath() : ""), port);
        const auto image = LoadUnion(h, row.act == NONE ? 0xA000 : 0x40000);
        EXPECT_TRUE(port || h.RunCheck()); // a check on a closed port never queries
        if (row.fault == SimFault::MuteAfterUpl)
            StartLikeTheDialog(h);
        else
            job.StartUpload();
        if (row.act == CANCEL_WAITING) {
            ASSERT_TRUE(WaitUntil([&] { return h.Count("Wait for receiver check") == 1; }));
        }
        if (row.act >= CANCEL_WRITING) {
            ASSERT_TRUE(WaitUntil([&] { return job.m_Phase.Get() == 3 && job.m_Progress.Get() > 0; }, 60000));
            EXPECT_EQ(job.m_FlashWriting.Get(), 1);
        }
        const uint32_t at = TickMs();
        if (row.act == SHUTDOWN) {
            harness.reset();
            EXPECT_LT(ElapsedMs(at), 5000u);
            continue;
        }
        if (row.act != NONE)
            job.CancelUpload();
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        EXPECT_TRUE(row.act == NONE || ElapsedMs(at) < 5000u);
        ExpectResult(h, 0);
        EXPECT_EQ(h.Logs(true), row.statuses);
        EXPECT_TRUE(h.InOrder(row.logs)) << h.LogText();
        EXPECT_EQ(h.Count("upload complete") + h.Count("continue"), 0);
        EXPECT_EQ(job.m_FlashWriting.Get(), 0);
        EXPECT_EQ(FlashHolds(sim, image), row.fault == SimFault::NoComplete); // written, but never confirmed
        EXPECT_EQ(h.Count("fOpen sleep") > 0 && h.Count("send command") == 0, !port);
        // A cancel in the receiver wait ends the target upload at its first look, before any sentence.
        const auto events = sim.rx.Events();
        EXPECT_TRUE(row.act != CANCEL_WAITING ||
                    std::count(events.begin(), events.end(), "loader-mode request accepted") == 0);
    }
}

TEST(Completion, MarkPatternsAndThePortLetGo) {
    test::CPty pty;
    pty.HoldSlave(); // a bare terminal whose far end holds only the bytes the test writes into it
    {
        CHarness h;
        h.m_System.m_Job.m_JobTiming.completionWaitMs = 600;
        h.m_System.m_Job.m_JobTiming.completionPollMs = 20;
        ASSERT_TRUE(h.Open(pty.Path()));
        // One byte is taken per pause; the wait runs out its whole limit unless the third mark ends it.
        // clang-format off
        const struct { std::string bytes; bool done; const char* logged; uint32_t atLeastMs; } rows[] = {
            {"xUyUzUt", true, "xUyUz\r\n", 5 * 20}, {"U", true, "U\r\n", 600}, // a lone mark counts as done
            {"UUx", false, "UUx\r\n", 0}, {"", false, "\r\n", 600}};
        // clang-format on
        for (const auto& row : rows) {
            SCOPED_TRACE(row.bytes);
            ASSERT_TRUE(pty.Write(row.bytes));
            ASSERT_TRUE(row.bytes.empty() || h.m_System.m_PortWorker.m_SerialPort.WaitRx(5000));
            const uint32_t start = TickMs();
            EXPECT_EQ(h.m_System.m_Job.WaitCompletionMark(), row.done);
            EXPECT_GE(ElapsedMs(start), row.atLeastMs);
            EXPECT_EQ(h.Count(row.logged), 1) << h.LogText();
            uint8_t b = 0; // what followed the third mark is still waiting
            EXPECT_EQ(h.Port().ReadByte(b) && b == 't', row.done && row.bytes.size() > 1);
        }
        EXPECT_EQ(h.m_System.m_Check.Port(), h.m_System.m_Job.GetPort());
    }
    // The system let go of the port when it went: a new one takes it at once.
    CHarness again;
    EXPECT_TRUE(again.Open(pty.Path()));
}
