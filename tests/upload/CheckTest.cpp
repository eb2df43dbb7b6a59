// The receiver check: the checksum rule, the simulated receiver in each of its identities, and byte streams
// the simulator never sends, read by the real check from a bare terminal.

#include "UploadFixture.h"

using namespace upt;

namespace {

std::string Joined(const ReceiverTexts& t) {
    return t.model + "|" + t.version + "|" + t.options + "|" + t.serial;
}

} // namespace

TEST(Check, ChecksumRule) {
    CChannel channel;
    CReceiverCheck check(channel);
    const std::string good = Nmea("PQELR,RID,PFLD,0102").substr(1);
    std::string lower = good, body = good;
    lower[lower.size() - 3] = char(std::tolower(lower[lower.size() - 3]));
    body[0] = 'X';
    const std::pair<std::string, bool> sums[] = {{good, true},  {lower, true},
                                                 {body, false}, {"A\r\n", false},
                                                 {"", false},   {"PQELR,NAK#12\r\n", false}};
    for (const auto& [text, ok] : sums)
        EXPECT_EQ(check.SentenceChecksumOk(text.c_str()), ok) << text;
    int crcLines = 0;
    while (auto line = channel.m_LogQueue.Pop())
        crcLines += line->substr(line->find('\t') + 1) == "crc not equal";
    EXPECT_EQ(crcLines, 1); // only the real mismatch is logged
}

TEST(Check, SimulatedReceiverIdentities) {
    struct Row {
        std::function<void(SimOptions&)> setup;
        const char* texts;
        std::vector<std::string> marks; // in this order; "!" in front: never logged
    } rows[] = {
        {[](SimOptions& o) { o.start = SimStartStage::Pfld, o.pfldVersion = "12.10"; },
         "PFLD|12.10||",
         {"Check receiver", "send command", "message received:", "!2", "!receiver checked"}},
        {[](SimOptions& o) {
             o.model = "KESTRIN-X", o.version = "0307", o.options = "GPS-GAL", o.serial = "K12";
         },
         "KESTRIN-X|0307|GPS-GAL|K12", // the version exactly as the options reply has it
         {"Check receiver", "1", "2", "3", "4", "receiver checked", "!timeout"}},
        {[](SimOptions& o) { o.type = "TZ5A", o.version = "0700", o.rioNak = true; },
         "TZ5A|7.0||",
         {"1", "2", "3", "receiver checked", "!4"}},
        {[](SimOptions& o) { o.type = "TZ5A", o.version = "T100", o.rioNak = true; }, "TZ5A|T100||", {}},
        {[](SimOptions& o) { o.nmeaNoiseMs = 5; }, "TZ5N|0102|GPS-GLO|KV000001", {"4"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.texts);
        SimOptions o = CSim::Fast();
        row.setup(o);
        CSim sim(o);
        CHarness h;
        ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
        // The texts are read from another thread while checks write them: always one whole identity.
        std::atomic<bool> quit{false};
        std::thread reader([&] {
            while (!quit.load()) {
                const std::string model = h.m_System.m_Check.Texts().model;
                EXPECT_TRUE(model.empty() || model == o.type ||
                            std::string(row.texts).rfind(model + "|", 0) == 0)
                    << model;
            }
        });
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE(h.RunCheck() && h.m_System.m_Check.m_Identified.Get() == 1);
        quit.store(true);
        reader.join();
        EXPECT_EQ(Joined(h.m_System.m_Check.Texts()), row.texts);
        std::vector<std::string> present;
        for (const auto& mark : row.marks)
            if (mark[0] == '!')
                EXPECT_EQ(h.Count(mark.substr(1)), 0) << mark;
            else
                present.push_back(mark);
        EXPECT_TRUE(h.InOrder(present)) << h.LogText();
    }
}

TEST(Check, ByteStreamsFromTheReceiver) {
    const std::string rid = Nmea("PQELR,RID,TZ5N,0102"), nak = Nmea("PQELR,NAK"),
                      pfld = Nmea("PQELR,RID,PFLD,0105");
    std::string badRid = rid, badRio = Nmea("PQELR,RIO,JUNK,9,0,X,Y");
    badRid[badRid.size() - 3] ^= 1; // one checksum digit spoilt
    badRio[badRio.size() - 4] ^= 1;
    const std::string gga = Nmea("GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    const struct {
        std::string bytes; // already waiting when the check starts; each reply is taken in turn
        const char* texts;
        int sends, crcErrors;
    } rows[] = {
        {gga + gga + Nmea("PQELR,RID,TZ5N,0204") + nak, "TZ5N|2.4||", 3,
         0}, // each foreign sentence: a new query
        {badRid + rid + nak, "TZ5N|1.2||", 2, 1},
        {rid + Nmea("PQELR,RIO,M1,0102,0,OPTS") + rid + Nmea("PQELR,RIO,M2,12,0,O2,S2"), "M2|12|O2|S2", 2, 0},
        {Nmea("PQELR,RID,TZ5B,0305") + badRio + nak, "TZ5B|3.5||", 1, 1}, // a corrupt reply keeps the type
        {"noise$" + std::string(200, 'x') + "\r\n" + pfld, "PFLD|1.5||", 1, 0},  // overlong: dropped
        {"$" + std::string(126, 'y') + "\r\n$A\r\n" + pfld, "PFLD|1.5||", 3, 0}, // a full and a tiny one
        {"no dollar here\r\n", "|||", 3, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bytes);
        CPty pty;
        CHarness h;
        ASSERT_TRUE(h.Open(pty.name));
        pty.Write(row.bytes);
        const uint32_t start = TickMs();
        ASSERT_TRUE(h.RunCheck());
        const bool identified = row.texts[0] != '|';
        EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), identified ? 1 : 0);
        EXPECT_EQ(Joined(h.m_System.m_Check.Texts()), row.texts);
        EXPECT_EQ(h.Count("crc not equal"), row.crcErrors);
        const int sends = h.Count("send command");
        EXPECT_TRUE(sends == row.sends || (!identified && sends == 4)) << sends << "\n" << h.LogText();
        if (identified) { // the reply is logged on its own line after "message received:"
            const auto logs = h.Logs();
            const auto it = std::find(logs.rbegin(), logs.rend(), "message received:");
            ASSERT_TRUE(it != logs.rend() && it != logs.rbegin());
            EXPECT_EQ((it - 1)->rfind("PQELR,", 0), 0u) << *(it - 1);
            continue;
        }
        // No receiver: the whole limit passes, then "timeout" with the clock.
        EXPECT_GE(ElapsedMs(start), 3000u);
        EXPECT_EQ(h.Find("time start "), h.Find("Check receiver") + 1);
        EXPECT_EQ(h.Find("time ", h.Find("timeout")), h.Find("timeout") + 1) << h.LogText();
    }
}

TEST(Check, EndedByAnotherThreadItIsFinished) {
    // The dialog marks the receiver identified after showing a loader banner: the check ends with "receiver
    // checked" and reports itself finished instead of starting over. A shutdown ends a check at once.
    CPty pty;
    auto h = std::make_unique<CHarness>();
    h->m_System.m_Check.m_Timing.checkLimitMs = 60000;
    ASSERT_TRUE(h->Open(pty.name));
    CReceiverCheck& check = h->m_System.m_Check;
    check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h->Count("send command") >= 1; }));
    check.m_Identified.Set(1);
    EXPECT_TRUE(WaitUntil([&] { return check.m_CheckRunning.Get() == 0; }, 5000));
    EXPECT_EQ(h->Count("receiver checked") + h->Count("Check receiver"), 2);

    check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h->Count("send command") >= 2; }));
    const uint32_t start = TickMs();
    h.reset();
    EXPECT_LT(ElapsedMs(start), 3000u);
}
