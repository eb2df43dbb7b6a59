// The receiver running its firmware, and the resident loader's answers to the same queries.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <gtest/gtest.h>

namespace {

// Fields of "$PQELR,..*HH\r\n" after checking its checksum; empty when the checksum is wrong.
std::vector<std::string> Fields(const std::string& s) {
    size_t star = s.find('*');
    if (s.size() < 6 || s[0] != '$' || star == std::string::npos || s.compare(s.size() - 2, 2, "\r\n") != 0)
        return {};
    uint8_t sum = 0;
    for (size_t i = 1; i < star; ++i)
        sum ^= static_cast<uint8_t>(s[i]);
    if (std::stoul(s.substr(star + 1, 2), nullptr, 16) != sum)
        return {};
    std::vector<std::string> f;
    std::string cur;
    for (size_t i = 1; i < star; ++i) {
        if (s[i] == ',') {
            f.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(s[i]);
        }
    }
    f.push_back(cur);
    return f;
}

} // namespace

using SimFirmware = SimTest;

TEST_F(SimFirmware, IdentificationRepliesCarrySettableTextsAndValidChecksums) {
    SimOptions o = FastOptions();
    o.type = "XR20";
    o.model = "XR20-PRO";
    o.version = "0307";
    o.options = "L1L2";
    o.serial = "SN42";
    ASSERT_TRUE(Start(o));

    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(Fields(port.ReadSentence()), (std::vector<std::string>{"PQELR", "RID", "XR20", "0307"}));
    port.Write(std::string("$PQELQ,RIO\r\n"));
    EXPECT_EQ(Fields(port.ReadSentence()),
              (std::vector<std::string>{"PQELR", "RIO", "XR20-PRO", "0307", "0", "L1L2", "SN42"}));
    // The upload announcement and unknown sentences are taken silently.
    port.Write(std::string("$PQELS,PFL,UPL\r\n$PQELQ,XYZ\r\n"));
    EXPECT_TRUE(port.ReadFor(150).empty());
    // A query split across writes and preceded by rubbish is still one query.
    port.Write(std::string("zz$PQELQ,"));
    port.Write(std::string("RID\r\n"));
    EXPECT_EQ(Fields(port.ReadSentence()).size(), 4u);
}

TEST_F(SimFirmware, RioNakAndPfldIdentification) {
    SimOptions o = FastOptions();
    o.rioNak = true;
    o.pfldVersion = "1.7";
    ASSERT_TRUE(Start(o));
    port.Write(std::string("$PQELQ,RIO\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,NAK"));

    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    EXPECT_EQ(Rx().Stage(), SimStage::Pfld);
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,PFLD,0107"));
    EXPECT_EQ(d.PfldVersion(), "$VER,PFLD_Pellar2v1.7");
    // A loader-mode sentence repeated while already in the loader brings LOAD_CODE again.
    ASSERT_TRUE(d.EnterLoader("$PQELS,PFL,LDR\r\n")) << d.Note();
}

TEST_F(SimFirmware, LoaderModeNeedsTheGoAheadRightAfterTheSentence) {
    ASSERT_TRUE(Start());
    port.Write(std::string("$PQELS,PFL,LOA\r\nX"));
    port.Write(OK_CODE);
    EXPECT_TRUE(port.ReadFor(150).empty());
    EXPECT_EQ(Rx().Stage(), SimStage::Firmware);
    port.Write(std::string("$PQELS,PFL,LDR\r\n"));
    port.Write(OK_CODE);
    EXPECT_EQ(port.ReadByte(), LOAD_CODE);
}

TEST_F(SimFirmware, WrongRateIsHeardAsGarbageBothWays) {
    ASSERT_TRUE(Start(FastOptions(), 9600)); // firmware at 115200
    port.Write(std::string("$PQELQ,RID\r\n$PQELS,PFL,LOA\r\n"));
    port.Write(OK_CODE);
    EXPECT_TRUE(port.ReadFor(200).empty());
    EXPECT_TRUE(CSimRunner::WaitFor([&] { return Rx().Stats().garbledFromHost == 29; }));
    EXPECT_EQ(Rx().Stage(), SimStage::Firmware);

    // At the right rate the same query is understood.
    port.SetRate(115200);
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,0102"));
}

TEST_F(SimFirmware, OutputToAHostAtAnotherRateArrivesGarbled) {
    SimOptions o = FastOptions();
    o.fwBaud = 9600;
    o.nmeaNoiseMs = 10;
    ASSERT_TRUE(Start(o));
    Bytes heard = port.ReadFor(200);
    ASSERT_FALSE(heard.empty());
    for (uint8_t b : heard)
        ASSERT_EQ(b, 0x00) << "a slower sender reads as zeros";
    EXPECT_GE(Rx().Stats().garbledToHost, heard.size());
    // At the firmware's rate the same sentences read clean.
    port.SetRate(9600);
    port.ReadFor(30);
    std::string s = port.ReadSentence();
    EXPECT_EQ(s.rfind("$GPGGA,", 0), 0u) << s;
}

TEST_F(SimFirmware, UnsolicitedSentencesComeWholeAndBetweenReplies) {
    SimOptions o = FastOptions();
    o.nmeaNoiseMs = 10;
    ASSERT_TRUE(Start(o));
    int replies = 0, others = 0;
    for (int i = 0; i < 40 && replies < 5; ++i) {
        if (i % 8 == 0)
            port.Write(std::string("$PQELQ,RID\r\n"));
        std::string s = port.ReadSentence();
        ASSERT_FALSE(s.empty());
        std::vector<std::string> f = Fields(s);
        ASSERT_FALSE(f.empty()) << "bad sentence " << s;
        if (f[0] == "PQELR")
            ++replies;
        else if (f[0] == "GPGGA")
            ++others;
    }
    EXPECT_GE(replies, 4);
    EXPECT_GE(others, 3);
}
