// The receiver check over a real pseudo-terminal: against the simulated receiver in its firmware and in its
// loader, and against a far end scripted sentence by sentence for the replies the simulator never gives.

#include "UploadHarness.h"

#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace upt;

namespace {

const std::string RID = "$PQELQ,RID\r\n";
const std::string RIO = "$PQELQ,RIO\r\n";

// A harness with its workers running (no automatic checks) on either the simulator or a scripted far end.
class ReceiverCheck : public ::testing::Test {
protected:
    CReceiverCheck& Check() { return h.m_System.m_Check; }
    // Checks that only care about the outcome need not wait the full three seconds when nothing answers.
    void ShortLimits() {
        Check().m_Timing.checkLimitMs = 800;
        Check().m_Timing.sentenceLimitMs = 300;
    }
    void Connect(const std::string& path) {
        h.Start(false);
        ASSERT_TRUE(h.OpenPort(path));
    }
    void ConnectSim(const SimOptions& o) {
        sim = std::make_unique<CSim>(o);
        ASSERT_TRUE(sim->Ok());
        Connect(sim->Path());
    }
    void ConnectPeer(CScriptedPeer::Script script) {
        peer = std::make_unique<CScriptedPeer>(std::move(script));
        ASSERT_TRUE(peer->Ok());
        Connect(peer->Path());
    }
    void ExpectTexts(const ReceiverTexts& want) {
        const ReceiverTexts texts = Check().Texts();
        EXPECT_EQ(texts.model, want.model);
        EXPECT_EQ(texts.version, want.version);
        EXPECT_EQ(texts.options, want.options);
        EXPECT_EQ(texts.serial, want.serial);
    }

    std::unique_ptr<CSim> sim;
    std::unique_ptr<CScriptedPeer> peer;
    CHarness h;
};

std::string Silent(const std::string&, int) {
    return {};
}

} // namespace

TEST_F(ReceiverCheck, LoaderAnswersPfldAndNoOptionsQuery) {
    SimOptions o = FastSim();
    o.start = SimStartStage::Pfld;
    o.pfldVersion = "1.2";
    ConnectSim(o);
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    ExpectTexts({"PFLD", "1.2", "", ""});
    EXPECT_EQ(h.LogCount("Check receiver"), 1);
    EXPECT_EQ(h.LogCount("send command"), 1);
    EXPECT_EQ(h.LogCount("message received:"), 1);
    // No options query ("1" and "2" mark the options loop) and no "receiver checked" on this path.
    for (const char* absent : {"1", "2", "receiver checked", "timeout"})
        EXPECT_EQ(h.LogCount(absent), 0) << absent;
}

TEST_F(ReceiverCheck, FirmwareWithFullOptionsReply) {
    SimOptions o = FastSim();
    o.type = "TZ5N";
    o.model = "KESTRIN-X";
    o.version = "0307";
    o.options = "GPS-GLO-GAL";
    o.serial = "KV123456";
    ConnectSim(o);
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    // The version is the second field of the options reply, exactly as it came (not converted).
    ExpectTexts({"KESTRIN-X", "0307", "GPS-GLO-GAL", "KV123456"});
    // Each mark once, in this order.
    int last = -1;
    for (const char* mark : {"Check receiver", "1", "2", "3", "4", "receiver checked"}) {
        EXPECT_EQ(h.LogCount(mark), 1) << mark;
        const int at = h.LogIndex(mark);
        EXPECT_GT(at, last) << mark;
        last = at;
    }
}

TEST_F(ReceiverCheck, OptionsRefusedWithNak) {
    SimOptions o = FastSim();
    o.type = "TZ5A";
    o.version = "0102";
    o.rioNak = true;
    ConnectSim(o);
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    ExpectTexts({"TZ5A", "1.2", "", ""});
    EXPECT_EQ(h.LogCount("4"), 0);
    EXPECT_EQ(h.LogCount("receiver checked"), 1);
}

TEST_F(ReceiverCheck, TalkativeSimulatedReceiverIsStillIdentified) {
    SimOptions o = FastSim();
    o.nmeaNoiseMs = 5;
    ConnectSim(o);
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(Check().Model(), "TZ5N");
}

TEST_F(ReceiverCheck, ForeignSentencesEachBringANewQuery) {
    // Two position sentences come before the reply; each one is unmatched and makes the check ask again.
    ConnectPeer([rid = 0](const std::string& s, int) mutable -> std::string {
        if (s == RID)
            return ++rid < 3 ? Nmea("GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,")
                             : Nmea("PQELR,RID,TZ5N,0204");
        return s == RIO ? Nmea("PQELR,NAK") : "";
    });
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(peer->Count(RID), 3);
    EXPECT_EQ(h.LogCount("send command"), 3);
    EXPECT_EQ(h.LogCount("crc not equal"), 0);
    EXPECT_EQ(Check().Version(), "2.4");
}

TEST_F(ReceiverCheck, WrongChecksumIsLoggedAndTheQueryRepeated) {
    ConnectPeer([rid = 0](const std::string& s, int) mutable -> std::string {
        if (s == RID) {
            std::string good = Nmea("PQELR,RID,TZ5N,0102");
            if (++rid == 1)
                good[good.size() - 3] = good[good.size() - 3] == '0' ? '1' : '0'; // spoil one checksum digit
            return good;
        }
        return s == RIO ? Nmea("PQELR,NAK") : "";
    });
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(h.LogCount("crc not equal"), 1);
    EXPECT_EQ(peer->Count(RID), 2);
    EXPECT_GE(h.LogIndex("send command", h.LogIndex("crc not equal")), 0) << h.LogText();
}

TEST_F(ReceiverCheck, OptionsReplyWithTooFewFieldsAsksAgain) {
    // First options reply has three commas only: not identified by it; a fresh identification follows.
    ConnectPeer([rio = 0](const std::string& s, int) mutable -> std::string {
        if (s == RID)
            return Nmea("PQELR,RID,TZ5N,0102");
        if (s == RIO)
            return ++rio == 1 ? Nmea("PQELR,RIO,MODEL1,0102,0,OPTS")
                              : Nmea("PQELR,RIO,MODEL2,12,0,OPTS2,SER2");
        return {};
    });
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(peer->Count(RID), 2);
    EXPECT_EQ(peer->Count(RIO), 2);
    EXPECT_EQ(h.LogCount("4"), 2);
    // The version is exactly the second field, shorter than the 4 characters it replaces.
    ExpectTexts({"MODEL2", "12", "OPTS2", "SER2"});
}

TEST_F(ReceiverCheck, CorruptOptionsReplyKeepsTheIdentifiedType) {
    // An options reply with a bad checksum must not overwrite the type learned from the identification; a
    // NAK to the repeated query then identifies the receiver with that type.
    ConnectPeer([rio = 0](const std::string& s, int) mutable -> std::string {
        if (s == RID)
            return Nmea("PQELR,RID,TZ5B,0305");
        if (s != RIO)
            return {};
        if (++rio > 1)
            return Nmea("PQELR,NAK");
        std::string bad = Nmea("PQELR,RIO,JUNK,9,0,X,Y");
        bad[bad.size() - 4] = bad[bad.size() - 4] == 'A' ? 'B' : 'A';
        return bad;
    });
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(h.LogCount("crc not equal"), 1);
    EXPECT_EQ(Check().Model(), "TZ5B");
    EXPECT_EQ(Check().Version(), "3.5");
}

TEST_F(ReceiverCheck, NoReceiverTimesOutAfterThreeSeconds) {
    ConnectPeer(Silent);
    const uint32_t start = TickMs();
    ASSERT_TRUE(h.RunCheck());
    const uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, 3000u);
    EXPECT_LT(took, 6000u); // 3000 ms plus at most one sentence read and the machine's load
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    // "Check receiver" is followed by "time start ...", "timeout" by "time ...".
    const auto logs = h.Logs();
    for (auto [mark, next] : {std::pair{"Check receiver", "time start "}, std::pair{"timeout", "time "}}) {
        const int at = h.LogIndex(mark);
        ASSERT_GE(at, 0) << mark;
        ASSERT_LT(at + 1, static_cast<int>(logs.size())) << mark;
        EXPECT_EQ(logs[at + 1].rfind(next, 0), 0u) << mark;
    }
    const int sends = h.LogCount("send command");
    EXPECT_GE(sends, 3);
    EXPECT_LE(sends, 4);
    EXPECT_EQ(peer->Count(RID), sends);
    EXPECT_EQ(peer->Count(RIO), 0);
}

TEST_F(ReceiverCheck, ClosedPortIsNeverQueried) {
    ShortLimits();
    Check().m_Timing.closedPortSleepMs = 200;
    h.Start(false);
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    EXPECT_GE(h.LogCount("fOpen sleep"), 2);
    EXPECT_EQ(h.LogCount("send command"), 0);
    EXPECT_EQ(h.LogCount("timeout"), 1);
}

TEST_F(ReceiverCheck, SilentSimulatorFailsAndALaterCheckSucceeds) {
    ShortLimits();
    // Silent for the first check, then a receiver in its loader.
    ConnectPeer(
        [](const std::string& s, int n) { return s == RID && n > 3 ? Nmea("PQELR,RID,PFLD,0105") : ""; });
    ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    EXPECT_EQ(Check().Model(), "");
    ASSERT_TRUE(WaitUntil([&] { return peer->Count(RID) >= 1; }));

    // Keep asking until the far end answers.
    for (int i = 0; i < 5 && Check().m_Identified.Get() == 0; ++i)
        ASSERT_TRUE(h.RunCheck());
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    EXPECT_EQ(Check().Model(), "PFLD");
    EXPECT_EQ(Check().Version(), "1.5");
}

TEST_F(ReceiverCheck, SomebodyElseEndingTheCheckEarly) {
    // The dialog marks the receiver identified (after showing a loader banner): the check ends with
    // "receiver checked", publishes nothing further and the next wake starts a new check.
    Check().m_Timing.checkLimitMs = 60000;
    Check().m_Timing.sentenceLimitMs = 200;
    ConnectPeer(Silent);
    Check().RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return peer->Count(RID) >= 1; }));
    Check().m_Identified.Set(1);
    ASSERT_TRUE(WaitUntil([&] { return h.LogCount("receiver checked") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return h.LogCount("Check receiver") >= 2; }));
    EXPECT_EQ(Check().m_CheckRunning.Get(), 1);
    h.m_System.Shutdown();
}

TEST_F(ReceiverCheck, TextsAreSafeToReadWhileChecksRun) {
    ConnectSim(FastSim());
    std::atomic<bool> quit{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!quit.load()) {
            const ReceiverTexts t = Check().Texts();
            EXPECT_TRUE(t.model.empty() || t.model == "TZ5N") << t.model;
            ++reads;
        }
    });
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(h.RunCheck());
        EXPECT_EQ(Check().m_Identified.Get(), 1);
    }
    quit.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(Check().Serial(), "KV000001");
}

// ---------------------------------------------------------------------------------------------------------
// Sentence capture and checksum on a port that the test opens itself.

class SentenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        const int slot = PortSlot(peer.Path());
        ASSERT_GT(slot, 0);
        port.SetPortIndex(static_cast<uint8_t>(slot));
        port.SetBaudSetting(9);
        ASSERT_TRUE(port.Open());
        check.SetPort(&port);
        check.m_Timing.sentenceLimitMs = 500;
    }
    void TearDown() override { port.Close(); }
    std::vector<std::string> LogTexts() {
        std::vector<std::string> texts;
        while (auto line = channel.m_LogQueue.Pop())
            texts.push_back(line->substr(line->find('\t') + 1));
        return texts;
    }

    CScriptedPeer peer{[](const std::string&, int) { return std::string(); }};
    CChannel channel;
    CSerialPort port{channel};
    CReceiverCheck check{channel};
};

TEST_F(SentenceTest, CapturesFromDollarToLineEnd) {
    peer.Write("noise$PQELR,RID,TZ5N,0102*5A\r\n");
    CReceiverCheck::Sentence text;
    ASSERT_TRUE(check.ReadSentence(text));
    EXPECT_STREQ(text, "PQELR,RID,TZ5N,0102*5A\r\n");
    const auto logs = LogTexts();
    ASSERT_GE(logs.size(), 2u);
    EXPECT_EQ(logs[logs.size() - 2], "message received:");
    EXPECT_EQ(logs.back(), "PQELR,RID,TZ5N,0102*5A\r\n");
}

TEST_F(SentenceTest, ThreeCharacterSentenceIsReadButFailsTheChecksum) {
    peer.Write("$A\r\n");
    CReceiverCheck::Sentence text;
    ASSERT_TRUE(check.ReadSentence(text));
    EXPECT_STREQ(text, "A\r\n");
    EXPECT_FALSE(check.SentenceChecksumOk(text));
}

TEST_F(SentenceTest, OverlongSentenceIsDroppedAndTheNextOneTaken) {
    const std::string good = Nmea("PQELR,NAK");
    peer.Write("$" + std::string(200, 'x') + "\r\n" + good);
    CReceiverCheck::Sentence text;
    ASSERT_TRUE(check.ReadSentence(text));
    EXPECT_EQ(std::string(text), good.substr(1));
    EXPECT_TRUE(check.SentenceChecksumOk(text));
}

TEST_F(SentenceTest, ExactlyFullSentenceStaysTerminated) {
    // 128 stored bytes fill the text completely; its terminator still fits.
    const std::string body(126, 'y');
    peer.Write("$" + body + "\r\n");
    CReceiverCheck::Sentence text;
    ASSERT_TRUE(check.ReadSentence(text));
    EXPECT_EQ(std::strlen(text), 128u);
}

TEST_F(SentenceTest, NothingWithinTheLimit) {
    peer.Write("no dollar here\r\n");
    CReceiverCheck::Sentence text;
    const uint32_t start = TickMs();
    EXPECT_FALSE(check.ReadSentence(text));
    EXPECT_GE(ElapsedMs(start), 500u);
    EXPECT_STREQ(text, "");
}

TEST(ReceiverCheckText, ChecksumRules) {
    CChannel channel;
    CReceiverCheck check(channel);
    const std::string good = Nmea("PQELR,RID,PFLD,0102").substr(1);
    EXPECT_TRUE(check.SentenceChecksumOk(good.c_str()));
    // Hex digits in either case.
    std::string mixed = good;
    for (size_t i = mixed.size() - 4; i < mixed.size() - 2; ++i)
        mixed[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[i])));
    EXPECT_TRUE(check.SentenceChecksumOk(mixed.c_str()));
    std::string changed = good;
    changed[0] = 'X'; // body changed: the sum no longer fits
    EXPECT_FALSE(check.SentenceChecksumOk(changed.c_str()));
    EXPECT_FALSE(check.SentenceChecksumOk("A\r\n"));
    EXPECT_FALSE(check.SentenceChecksumOk(""));
    EXPECT_FALSE(check.SentenceChecksumOk("PQELR,NAK#12\r\n")); // no '*' where the sum belongs
    int crcLines = 0;
    while (auto line = channel.m_LogQueue.Pop())
        crcLines += line->substr(line->find('\t') + 1) == "crc not equal";
    EXPECT_EQ(crcLines, 1); // only the real mismatch is logged
}

TEST(ReceiverCheckText, VersionConversion) {
    auto convert = [](const char* in) {
        char v[CReceiverCheck::TEXT_SIZE] = {};
        std::strncpy(v, in, sizeof v - 1);
        CReceiverCheck::ConvertVersion(v);
        return std::string(v);
    };
    EXPECT_EQ(convert("0102"), "1.2");
    EXPECT_EQ(convert("1210"), "12.10");
    EXPECT_EQ(convert("7"), "7.0");
    EXPECT_EQ(convert("03"), "3.0");
    EXPECT_EQ(convert("T100"), "T100");
    EXPECT_EQ(convert(""), "");
}
