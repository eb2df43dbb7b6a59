// The first-stage loader's greeting and speed agreement, and the restarts of an idle loader.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <gtest/gtest.h>

class SimGreeting : public SimTest {
protected:
    // Loader mode and the first-stage loader started, up to its first HELLO_CODE.
    bool Started() {
        return d.EnterLoader() && d.LoadSfld(LoaderImage("$VER,SFLD_G"), 0x201000, false) &&
               port.ReadByte() == HELLO_CODE;
    }
};

TEST_F(SimGreeting, AgreedSpeedIsTheOnlyOneHeardAfterwards) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    ASSERT_TRUE(d.LoadSfld(LoaderImage("$VER,SFLD_G"), 0x201000, false)) << d.Note();
    ASSERT_TRUE(d.Greet(5)) << d.Note(); // 9600
    port.Write(VERSION_CODE);
    EXPECT_TRUE(port.ReadFor(150).empty()) << "115200 is garbage to a loader at 9600";
    port.SetRate(9600);
    EXPECT_EQ(d.SfldVersion(), "$VER,SFLD_G");
    EXPECT_GE(Rx().Stats().garbledFromHost, 1u);
}

TEST_F(SimGreeting, BaudRepeatedUntilAnsweredAndALateSecondAnswerIsPassedOver) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Started()) << d.Note();
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadSkipping({}), HELLO_CODE);
    port.Write(OK_CODE);
    ASSERT_EQ(port.ReadSkipping({HELLO_CODE}), BAUD_CODE);
    EXPECT_EQ(port.ReadSkipping({HELLO_CODE}), BAUD_CODE) << "repeated until answered";
    // An index out of the table is refused; the loader keeps asking.
    port.Write(Bytes{'[', 12, ']'});
    EXPECT_EQ(port.ReadSkipping({HELLO_CODE}), BAUD_CODE);
    port.Flush();
    port.Write(Bytes{'[', 9, ']', '[', 9, ']'});
    EXPECT_EQ(port.Read(3), (Bytes{OK_CODE, OK_CODE, 9}));
    EXPECT_TRUE(port.ReadFor(100).empty()) << "no refusal of the second answer";
    EXPECT_EQ(d.SfldVersion(), "$VER,SFLD_G");
}

TEST_F(SimGreeting, ExtraHellosBeforeTheAnswerDoNotDisturbTheAgreement) {
    SimOptions o = FastOptions();
    o.helloIntervalMs = 2;
    ASSERT_TRUE(Start(o));
    ASSERT_TRUE(Started()) << d.Note();
    // Let several hellos pile up, then answer two of them as the host's greeting loop does.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    port.Write(OK_CODE);
    port.Write(OK_CODE);
    int b;
    do {
        b = port.ReadByte();
    } while (b == HELLO_CODE);
    ASSERT_EQ(b, BAUD_CODE);
    port.Write(Bytes{'[', 9, ']'});
    EXPECT_EQ(port.ReadSkipping({BAUD_CODE}), OK_CODE);
}

TEST_F(SimGreeting, IdleLoaderRestartsTheReceiver) {
    SimOptions o = FastOptions();
    o.start = SimStartStage::Pfld;
    o.loaderIdleRebootMs = 80;
    ASSERT_TRUE(Start(o));
    EXPECT_EQ(Rx().Stage(), SimStage::Pfld);
    port.Write(PFL_VERSION_CODE);
    EXPECT_EQ(port.ReadSentence(), "$VER,PFLD_Pellar2v1.5\r\n");
    EXPECT_TRUE(StageIs(SimStage::Firmware));
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,0102"));
}
