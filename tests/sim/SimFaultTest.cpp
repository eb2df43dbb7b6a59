// Each injected fault produces exactly the reply (or silence) it names.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <gtest/gtest.h>

namespace {

const uint32_t FLASH_BASE = 0x10000000;

SimOptions WithFault(SimFault fault, uint32_t arg = 0) {
    SimOptions o = FastOptions();
    o.fault = fault;
    o.faultArg = arg;
    return o;
}

Bytes Data(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed ^ (i * 31));
    return b;
}

// SFLD reached and 64 KiB at the flash base erased, ready for programming frames.
bool ReadyToProgram(CUploadDriver& d) {
    return d.ReachSfld() && d.Erase(FLASH_BASE, FLASH_BASE + 0x10000);
}

bool HasEvent(CSimReceiver& sim, const std::string& text) {
    for (const std::string& e : sim.Events())
        if (e.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(SimFaults, SilentAnswersNothing) {
    CSimRunner sim(WithFault(SimFault::Silent));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    port.Write(std::string("$PQELQ,RID\r\n$PQELS,PFL,LOA\r\n\x55"));
    port.Write(std::string("$PQELS,PFL,LDR\r\n\x55"));
    port.Write(PFL_VERSION_CODE);
    EXPECT_TRUE(port.ReadFor(250).empty());
    EXPECT_EQ(sim.Sim().Stats().bytesToHost, 0u);
}

TEST(SimFaults, LdrOnlyIgnoresLoa) {
    CSimRunner sim(WithFault(SimFault::LdrOnly));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    port.Write(std::string("$PQELS,PFL,LOA\r\n\x55"));
    EXPECT_TRUE(port.ReadFor(150).empty());
    port.Write(std::string("$PQELS,PFL,LDR\r\n\x55"));
    EXPECT_EQ(port.ReadByte(), LOAD_CODE);
}

TEST(SimFaults, EraseFailReplacesTheKthSectorReport) {
    CSimRunner sim(WithFault(SimFault::EraseFail, 3));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadByte(), OK_CODE);
    port.Write(ERASE_CODE);
    ASSERT_EQ(port.Read(2), (Bytes{OK_CODE, REC_WAIT_CODE}));
    ASSERT_EQ(d.SendFrame(CommandFrame(FLASH_BASE, FLASH_BASE + 0x10000)), OK_CODE);
    EXPECT_EQ(port.Read(6), (Bytes{PARAM_CODE, ERASE_CODE, 8, SECTOR_ERASED, SECTOR_ERASED, PROGRAM_FAIL}));
    EXPECT_TRUE(port.ReadFor(100).empty());
}

TEST(SimFaults, SizeExceededRefusesEveryRange) {
    CSimRunner sim(WithFault(SimFault::SizeExceeded));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadByte(), OK_CODE);
    port.Write(ERASE_CODE);
    ASSERT_EQ(port.Read(2), (Bytes{OK_CODE, REC_WAIT_CODE}));
    ASSERT_EQ(d.SendFrame(CommandFrame(FLASH_BASE, FLASH_BASE + 0x100)), OK_CODE);
    EXPECT_EQ(port.ReadByte(), SIZE_EXCEEDED);
    EXPECT_TRUE(port.ReadFor(100).empty());
}

TEST(SimFaults, BadCsumOnceOnFrameK) {
    CSimRunner sim(WithFault(SimFault::BadCsum, 2));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(ReadyToProgram(d)) << d.Note();
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE, Data(2048, 1))), OK_CODE);
    EXPECT_EQ(port.ReadByte(), OK_CODE);
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE + 2048, Data(2048, 2))), BAD_CSUM);
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE + 2048, Data(2048, 2))), OK_CODE) << "only once";
    EXPECT_EQ(port.ReadByte(), OK_CODE);
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE + 4096, Data(100, 3))), OK_CODE);
    EXPECT_EQ(port.ReadByte(), OK_CODE);
    Bytes flash = sim.Sim().FlashCopy();
    Bytes want = Data(2048, 2);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), flash.begin() + 2048));
}

TEST(SimFaults, NoAckOnceOnFrameK) {
    CSimRunner sim(WithFault(SimFault::NoAck, 1));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(ReadyToProgram(d)) << d.Note();
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadByte(), REC_WAIT_CODE);
    port.Write(DataFrame(FLASH_BASE, Data(512, 4)));
    EXPECT_TRUE(port.ReadFor(200).empty()) << "no acknowledge";
    // The retry is taken and written: the dropped frame left the flash erased.
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE, Data(512, 4))), OK_CODE);
    EXPECT_EQ(port.ReadByte(), OK_CODE);
    EXPECT_EQ(sim.Sim().FlashCopy()[0], Data(512, 4)[0]);
}

TEST(SimFaults, NoCompleteSkipsTheMarkButRestarts) {
    CSimRunner sim(WithFault(SimFault::NoComplete));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(ReadyToProgram(d)) << d.Note();
    ASSERT_TRUE(d.Program(FLASH_BASE, Data(3000, 5))) << d.Note();
    ASSERT_TRUE(CSimRunner::WaitFor([&] { return sim.Sim().Stage() == SimStage::Firmware; }));
    EXPECT_TRUE(port.ReadFor(50).empty()) << "no completion mark";
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_FALSE(port.ReadSentence().empty());
}

TEST(SimFaults, NoiseBetweenSentencesNeverLooksLikeProtocol) {
    CSimRunner sim(WithFault(SimFault::Noise, 5));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    Bytes noise = port.ReadFor(100);
    ASSERT_GE(noise.size(), 5u);
    for (uint8_t b : noise) {
        EXPECT_NE(b, '$');
        EXPECT_NE(b, 'D');
        EXPECT_NE(b, 0x55);
    }
    // Replies still come whole between the noise.
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,0102"));
}

TEST(SimFaults, HangupInTheMiddleOfProgramming) {
    CSimRunner sim(WithFault(SimFault::Hangup, 2));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(ReadyToProgram(d)) << d.Note();
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE, Data(256, 6))), OK_CODE);
    EXPECT_EQ(port.ReadByte(), OK_CODE);
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadByte(), REC_WAIT_CODE);
    port.Write(DataFrame(FLASH_BASE + 256, Data(256, 7)));
    EXPECT_TRUE(port.WaitHangup());
    EXPECT_TRUE(CSimRunner::WaitFor([&] { return sim.Finished(); }));
    EXPECT_EQ(sim.Finish(), SimEnd::HungUp);
}

TEST(SimFaults, StallStopsAnsweringAtFrameK) {
    CSimRunner sim(WithFault(SimFault::Stall, 1));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(ReadyToProgram(d)) << d.Note();
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadByte(), REC_WAIT_CODE);
    port.Write(DataFrame(FLASH_BASE, Data(256, 6)));
    port.Write(OK_CODE);
    port.Write(uint8_t{VERSION_CODE});
    EXPECT_TRUE(port.ReadFor(200).empty());
    EXPECT_TRUE(HasEvent(sim.Sim(), "stalled at programming frame 1"));
}

TEST(SimFaults, SlowEraseSpacesTheSectorReports) {
    CSimRunner sim(WithFault(SimFault::SlowErase, 150));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    auto t0 = std::chrono::steady_clock::now();
    int sectors = 0;
    ASSERT_TRUE(d.Erase(FLASH_BASE, FLASH_BASE + 0x4000, &sectors)) << d.Note();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(sectors, 2);
    EXPECT_GE(ms, 2 * 150.0);
}
