// The receiver check: its pure text rules, the simulated receiver in each of its identities, and byte
// streams the simulator never sends, read by the real check from a bare terminal.

#include "UploadFixture.h"

#include <cstring>
#include <memory>

using namespace upt;

namespace {

void ExpectTexts(CReceiverCheck& check, const ReceiverTexts& want) {
    const ReceiverTexts t = check.Texts();
    EXPECT_EQ(t.model + "|" + t.version + "|" + t.options + "|" + t.serial,
              want.model + "|" + want.version + "|" + want.options + "|" + want.serial);
}

} // namespace

TEST(CheckText, ChecksumAndVersionRules) {
    CChannel channel;
    CReceiverCheck check(channel);
    const std::string good = Nmea("PQELR,RID,PFLD,0102").substr(1);
    std::string lower = good, body = good;
    for (size_t i = lower.size() - 4; i < lower.size() - 2; ++i)
        lower[i] = char(std::tolower(lower[i]));
    body[0] = 'X';
    const struct {
        std::string text;
        bool ok;
    } sums[] = {{good, true},     {lower, true}, {body, false},
                {"A\r\n", false}, {"", false},   {"PQELR,NAK#12\r\n", false}};
    for (const auto& c : sums)
        EXPECT_EQ(check.SentenceChecksumOk(c.text.c_str()), c.ok) << c.text;
    int crcLines = 0;
    while (auto line = channel.m_LogQueue.Pop())
        crcLines += line->substr(line->find('\t') + 1) == "crc not equal";
    EXPECT_EQ(crcLines, 1); // only the real mismatch is logged

    const char* versions[][2] = {{"0102", "1.2"}, {"1210", "12.10"}, {"7", "7.0"},
                                 {"03", "3.0"},   {"T100", "T100"},  {"", ""}};
    for (auto [in, out] : versions) {
        char v[CReceiverCheck::TEXT_SIZE] = {};
        std::strncpy(v, in, sizeof v - 1);
        CReceiverCheck::ConvertVersion(v);
        EXPECT_STREQ(v, out) << in;
    }
}

TEST(Check, SimulatedReceiverIdentities) {
    struct Row {
        const char* name;
        std::function<void(SimOptions&)> setup;
        ReceiverTexts texts;
        std::vector<std::string> marks; // log lines in this order
        std::vector<std::string> absent;
    } rows[] = {
        {"loader",
         [](SimOptions& o) { o.start = SimStartStage::Pfld, o.pfldVersion = "1.2"; },
         {"PFLD", "1.2", "", ""},
         {"Check receiver", "send command", "message received:"},
         {"1", "2", "receiver checked", "timeout"}},
        {"options",
         [](SimOptions& o) {
             o.model = "KESTRIN-X", o.version = "0307", o.options = "GPS-GAL", o.serial = "KV12";
         },
         {"KESTRIN-X", "0307", "GPS-GAL", "KV12"}, // the version exactly as the options reply has it
         {"Check receiver", "1", "2", "3", "4", "receiver checked"},
         {"timeout"}},
        {"nak",
         [](SimOptions& o) { o.type = "TZ5A", o.rioNak = true; },
         {"TZ5A", "1.2", "", ""},
         {"1", "2", "3", "receiver checked"},
         {"4"}},
        {"talkative",
         [](SimOptions& o) { o.nmeaNoiseMs = 5; },
         {"TZ5N", "0102", "GPS-GLO", "KV000001"},
         {"4"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimOptions o = CSim::Fast();
        row.setup(o);
        CSim sim(o);
        CHarness h;
        h.Start();
        ASSERT_TRUE(h.OpenPort(sim.rx.SlavePath()));
        // The texts are read from another thread while checks write them: always one whole identity.
        std::atomic<bool> quit{false};
        std::thread reader([&] {
            while (!quit.load()) {
                const std::string model = h.m_System.m_Check.Texts().model;
                EXPECT_TRUE(model.empty() || model == row.texts.model || model == o.type) << model;
            }
        });
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(h.RunCheck());
            EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), 1);
        }
        quit.store(true);
        reader.join();
        ExpectTexts(h.m_System.m_Check, row.texts);
        EXPECT_TRUE(h.InOrder(row.marks)) << h.LogText();
        for (const auto& line : row.absent)
            EXPECT_EQ(h.Count(line), 0) << line;
    }
}

TEST(Check, ByteStreamsFromTheReceiver) {
    const std::string rid = Nmea("PQELR,RID,TZ5N,0102"), nak = Nmea("PQELR,NAK");
    std::string badRid = rid;
    badRid[badRid.size() - 3] ^= 1; // one checksum digit spoilt
    std::string badRio = Nmea("PQELR,RIO,JUNK,9,0,X,Y");
    badRio[badRio.size() - 4] ^= 1;
    const std::string gga = Nmea("GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    struct Row {
        const char* name;
        std::string bytes; // already waiting when the check starts; each reply is taken in turn
        ReceiverTexts texts;
        int sends;
        int crcErrors;
    } rows[] = {
        {"foreign sentences each bring a new query",
         gga + gga + Nmea("PQELR,RID,TZ5N,0204") + nak,
         {"TZ5N", "2.4", "", ""},
         3,
         0},
        {"wrong checksum", badRid + rid + nak, {"TZ5N", "1.2", "", ""}, 2, 1},
        {"options reply with three commas",
         rid + Nmea("PQELR,RIO,M1,0102,0,OPTS") + rid + Nmea("PQELR,RIO,M2,12,0,O2,S2"),
         {"M2", "12", "O2", "S2"},
         2,
         0},
        {"corrupt options reply keeps the type",
         Nmea("PQELR,RID,TZ5B,0305") + badRio + nak,
         {"TZ5B", "3.5", "", ""},
         1,
         1},
        {"overlong sentence",
         "noise$" + std::string(200, 'x') + "\r\n" + Nmea("PQELR,RID,PFLD,0105"),
         {"PFLD", "1.5", "", ""},
         1,
         0},
        {"full and tiny sentences",
         "$" + std::string(126, 'y') + "\r\n$A\r\n" + Nmea("PQELR,RID,PFLD,0105"),
         {"PFLD", "1.5", "", ""},
         3,
         0},
        {"nothing", "no dollar here\r\n", {"", "", "", ""}, 3, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CPty pty;
        CHarness h;
        h.Start();
        ASSERT_TRUE(h.OpenPort(pty.path));
        pty.Write(row.bytes);
        const uint32_t start = TickMs();
        ASSERT_TRUE(h.RunCheck());
        const bool identified = !row.texts.model.empty();
        EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), identified ? 1 : 0);
        ExpectTexts(h.m_System.m_Check, row.texts);
        EXPECT_EQ(h.Count("crc not equal"), row.crcErrors);
        const int sends = h.Count("send command");
        EXPECT_TRUE(sends == row.sends || (!identified && sends == 4)) << sends << "\n" << h.LogText();
        if (identified) {
            // The reply is logged on its own line after "message received:".
            const auto logs = h.Logs();
            const auto it = std::find(logs.rbegin(), logs.rend(), "message received:");
            ASSERT_TRUE(it != logs.rend() && it != logs.rbegin());
            EXPECT_EQ((it - 1)->rfind("PQELR,", 0), 0u) << *(it - 1);
            continue;
        }
        // No receiver: the whole limit passes, then "timeout" with the clock.
        EXPECT_GE(ElapsedMs(start), 3000u);
        EXPECT_TRUE(h.InOrder({"Check receiver", "timeout"})) << h.LogText();
        EXPECT_EQ(h.Find("time start "), h.Find("Check receiver") + 1);
        EXPECT_EQ(h.Find("time ", h.Find("timeout")), h.Find("timeout") + 1);
    }
}

TEST(Check, ClosedPortIsNeverQueried) {
    CHarness h;
    h.m_System.m_Check.m_Timing.checkLimitMs = 800;
    h.m_System.m_Check.m_Timing.closedPortSleepMs = 200;
    h.Start();
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), 0);
    EXPECT_GE(h.Count("fOpen sleep"), 2);
    EXPECT_EQ(h.Count("send command"), 0);
}

TEST(Check, EndedByAnotherThreadItIsFinished) {
    // The dialog marks the receiver identified after showing a loader banner: the check ends with
    // "receiver checked" and reports itself finished instead of starting over.
    CPty pty;
    CHarness h;
    h.m_System.m_Check.m_Timing.checkLimitMs = 60000;
    h.Start();
    ASSERT_TRUE(h.OpenPort(pty.path));
    h.m_System.m_Check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h.Count("send command") >= 1; }));
    h.m_System.m_Check.m_Identified.Set(1);
    EXPECT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_CheckRunning.Get() == 0; }, 5000));
    EXPECT_EQ(h.Count("receiver checked"), 1);
    EXPECT_EQ(h.Count("Check receiver"), 1);
}
