// The first-stage loader's greeting and speed agreement, and the restarts of an idle loader.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <gtest/gtest.h>

namespace {

// Loader mode and the first-stage loader started, up to its first HELLO_CODE.
bool Started(CHostPort& port, CUploadDriver& d) {
    return d.EnterLoader() && d.LoadSfld(LoaderImage("$VER,SFLD_G"), 0x201000, false) &&
           port.ReadByte() == HELLO_CODE;
}

} // namespace

TEST(SimGreeting, AgreedSpeedIsTheOnlyOneHeardAfterwards) {
    CSimRunner sim(FastOptions());
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    CUploadDriver d(port);
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    ASSERT_TRUE(d.LoadSfld(LoaderImage("$VER,SFLD_G"), 0x201000, false)) << d.Note();
    ASSERT_TRUE(d.Greet(5)) << d.Note(); // 9600
    port.Write(VERSION_CODE);
    EXPECT_TRUE(port.ReadFor(150).empty()) << "115200 is garbage to a loader at 9600";
    port.SetRate(9600);
    EXPECT_EQ(d.SfldVersion(), "$VER,SFLD_G");
    EXPECT_GE(sim.Sim().Stats().garbledFromHost, 1u);
}

TEST(SimGreeting, BaudRepeatedUntilAnsweredAndALateSecondAnswerIsPassedOver) {
    CSimRunner sim(FastOptions());
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    CUploadDriver d(port);
    ASSERT_TRUE(port.Open(sim.Path()));
    ASSERT_TRUE(Started(port, d)) << d.Note();
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

TEST(SimGreeting, ExtraHellosBeforeTheAnswerDoNotDisturbTheAgreement) {
    SimOptions o = FastOptions();
    o.helloIntervalMs = 2;
    CSimRunner sim(o);
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    CHostPort port;
    CUploadDriver d(port);
    ASSERT_TRUE(port.Open(sim.Path()));
    ASSERT_TRUE(Started(port, d)) << d.Note();
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

TEST(SimGreeting, IdleLoaderRestartsTheReceiver) {
    SimOptions o = FastOptions();
    o.start = SimStartStage::Pfld;
    o.loaderIdleRebootMs = 80;
    CSimRunner sim(o);
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    EXPECT_EQ(sim.Sim().Stage(), SimStage::Pfld);
    CHostPort port;
    ASSERT_TRUE(port.Open(sim.Path()));
    port.Write(PFL_VERSION_CODE);
    EXPECT_EQ(port.ReadSentence(), "$VER,PFLD_Pellar2v1.5\r\n");
    EXPECT_TRUE(CSimRunner::WaitFor([&] { return sim.Sim().Stage() == SimStage::Firmware; }));
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,0102"));
}
