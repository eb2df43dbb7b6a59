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

} // namespace

class SimFaults : public SimTest {
protected:
    // SFLD reached and 64 KiB at the flash base erased, ready for programming frames.
    bool ReadyToProgram() { return d.ReachSfld() && d.Erase(FLASH_BASE, FLASH_BASE + 0x10000); }
    // Go-ahead and the loader's REC_WAIT_CODE, then the frame with no wait for its answer.
    void SendUnanswered(const Bytes& frame) {
        port.Write(OK_CODE);
        ASSERT_EQ(port.ReadByte(), REC_WAIT_CODE);
        port.Write(frame);
    }
    bool HasEvent(const std::string& text) {
        for (const std::string& e : Rx().Events())
            if (e.find(text) != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(SimFaults, SilentAnswersNothing) {
    ASSERT_TRUE(Start(WithFault(SimFault::Silent)));
    port.Write(std::string("$PQELQ,RID\r\n$PQELS,PFL,LOA\r\n\x55"));
    port.Write(std::string("$PQELS,PFL,LDR\r\n\x55"));
    port.Write(PFL_VERSION_CODE);
    EXPECT_TRUE(port.ReadFor(250).empty());
    EXPECT_EQ(Rx().Stats().bytesToHost, 0u);
}

TEST_F(SimFaults, LdrOnlyIgnoresLoa) {
    ASSERT_TRUE(Start(WithFault(SimFault::LdrOnly)));
    port.Write(std::string("$PQELS,PFL,LOA\r\n\x55"));
    EXPECT_TRUE(port.ReadFor(150).empty());
    port.Write(std::string("$PQELS,PFL,LDR\r\n\x55"));
    EXPECT_EQ(port.ReadByte(), LOAD_CODE);
}

TEST_F(SimFaults, EraseFailReplacesTheKthSectorReport) {
    ASSERT_TRUE(Start(WithFault(SimFault::EraseFail, 3)));
    ASSERT_TRUE(d.ReachSfld() && d.EraseCommand()) << d.Note();
    ASSERT_EQ(d.SendFrame(CommandFrame(FLASH_BASE, FLASH_BASE + 0x10000)), OK_CODE);
    EXPECT_EQ(port.Read(6), (Bytes{PARAM_CODE, ERASE_CODE, 8, SECTOR_ERASED, SECTOR_ERASED, PROGRAM_FAIL}));
    EXPECT_TRUE(port.ReadFor(100).empty());
}

TEST_F(SimFaults, SizeExceededRefusesEveryRange) {
    ASSERT_TRUE(Start(WithFault(SimFault::SizeExceeded)));
    ASSERT_TRUE(d.ReachSfld() && d.EraseCommand()) << d.Note();
    ASSERT_EQ(d.SendFrame(CommandFrame(FLASH_BASE, FLASH_BASE + 0x100)), OK_CODE);
    EXPECT_EQ(port.ReadByte(), SIZE_EXCEEDED);
    EXPECT_TRUE(port.ReadFor(100).empty());
}

TEST_F(SimFaults, BadCsumOnceOnFrameK) {
    ASSERT_TRUE(Start(WithFault(SimFault::BadCsum, 2)));
    ASSERT_TRUE(ReadyToProgram()) << d.Note();
    const Bytes taken{OK_CODE, OK_CODE};
    EXPECT_EQ(d.WriteFrame(FLASH_BASE, Data(2048, 1)), taken);
    EXPECT_EQ(d.WriteFrame(FLASH_BASE + 2048, Data(2048, 2)), Bytes{BAD_CSUM});
    EXPECT_EQ(d.WriteFrame(FLASH_BASE + 2048, Data(2048, 2)), taken) << "only once";
    EXPECT_EQ(d.WriteFrame(FLASH_BASE + 4096, Data(100, 3)), taken);
    Bytes flash = Rx().FlashCopy();
    Bytes want = Data(2048, 2);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), flash.begin() + 2048));
}

TEST_F(SimFaults, NoAckOnceOnFrameK) {
    ASSERT_TRUE(Start(WithFault(SimFault::NoAck, 1)));
    ASSERT_TRUE(ReadyToProgram()) << d.Note();
    ASSERT_NO_FATAL_FAILURE(SendUnanswered(DataFrame(FLASH_BASE, Data(512, 4))));
    EXPECT_TRUE(port.ReadFor(200).empty()) << "no acknowledge";
    // The retry is taken and written: the dropped frame left the flash erased.
    EXPECT_EQ(d.WriteFrame(FLASH_BASE, Data(512, 4)), (Bytes{OK_CODE, OK_CODE}));
    EXPECT_EQ(Rx().FlashCopy()[0], Data(512, 4)[0]);
}

TEST_F(SimFaults, NoCompleteSkipsTheMarkButRestarts) {
    ASSERT_TRUE(Start(WithFault(SimFault::NoComplete)));
    ASSERT_TRUE(ReadyToProgram()) << d.Note();
    ASSERT_TRUE(d.Program(FLASH_BASE, Data(3000, 5))) << d.Note();
    ASSERT_TRUE(StageIs(SimStage::Firmware));
    EXPECT_TRUE(port.ReadFor(50).empty()) << "no completion mark";
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_FALSE(port.ReadSentence().empty());
}

TEST_F(SimFaults, NoiseBetweenSentencesNeverLooksLikeProtocol) {
    ASSERT_TRUE(Start(WithFault(SimFault::Noise, 5)));
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

TEST_F(SimFaults, HangupInTheMiddleOfProgramming) {
    ASSERT_TRUE(Start(WithFault(SimFault::Hangup, 2)));
    ASSERT_TRUE(ReadyToProgram()) << d.Note();
    EXPECT_EQ(d.WriteFrame(FLASH_BASE, Data(256, 6)), (Bytes{OK_CODE, OK_CODE}));
    ASSERT_NO_FATAL_FAILURE(SendUnanswered(DataFrame(FLASH_BASE + 256, Data(256, 7))));
    EXPECT_TRUE(port.WaitHangup());
    EXPECT_TRUE(CSimRunner::WaitFor([&] { return sim->Finished(); }));
    EXPECT_EQ(sim->Finish(), SimEnd::HungUp);
}

TEST_F(SimFaults, StallStopsAnsweringAtFrameK) {
    ASSERT_TRUE(Start(WithFault(SimFault::Stall, 1)));
    ASSERT_TRUE(ReadyToProgram()) << d.Note();
    ASSERT_NO_FATAL_FAILURE(SendUnanswered(DataFrame(FLASH_BASE, Data(256, 6))));
    port.Write(OK_CODE);
    port.Write(uint8_t{VERSION_CODE});
    EXPECT_TRUE(port.ReadFor(200).empty());
    EXPECT_TRUE(HasEvent("stalled at programming frame 1"));
}

TEST_F(SimFaults, SlowEraseSpacesTheSectorReports) {
    ASSERT_TRUE(Start(WithFault(SimFault::SlowErase, 150)));
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    auto t0 = std::chrono::steady_clock::now();
    int sectors = 0;
    ASSERT_TRUE(d.Erase(FLASH_BASE, FLASH_BASE + 0x4000, &sectors)) << d.Note();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(sectors, 2);
    EXPECT_GE(ms, 2 * 150.0);
}
