// The byte link: acknowledge waits, parameter bytes, the first-stage loader's greeting and both version
// queries, driven through the scripted port.

#include "LoaderFixture.h"
#include "loader/LoaderCodes.h"

#include <cstring>
#include <thread>

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A first-stage loader that greets as the protocol expects; extra bytes can be slipped in at each step.
struct GreetingScript {
    std::vector<uint8_t> afterFirstOk = {HELLO_CODE};
    std::vector<uint8_t> afterSecondOk = {BAUD_CODE};
    std::vector<uint8_t> afterBaud = {OK_CODE, OK_CODE, 9};
    int oks = 0;
    void Install(CScriptPort& port) {
        port.SetResponder([this](CScriptPort& p, uint8_t b) {
            if (b == OK_CODE) {
                ++oks;
                p.Inject(oks == 1 ? afterFirstOk : oks == 2 ? afterSecondOk : std::vector<uint8_t>{});
            } else if (b == BAUD_CLOSE) {
                p.Inject(afterBaud);
            }
        });
    }
};

} // namespace

using LinkTest = LoaderFixture;

TEST_F(LinkTest, WaitOkTakesTheAcknowledgeAndDropsOtherBytes) {
    port.InjectAfter(30, {0x12, REC_WAIT_CODE, OK_CODE, 0x99});
    uint32_t start = TickMs();
    EXPECT_TRUE(job.WaitOk());
    EXPECT_LT(ElapsedMs(start), 140u);
    EXPECT_EQ(port.Waiting(), 1u); // the byte after the acknowledge stays for the next reader
    EXPECT_TRUE(Logs().empty());
}

TEST_F(LinkTest, WaitOkSkipsParameterBytesWithinItsLimit) {
    // The parameter's value is 0x55: it must be consumed as a value, not taken as the acknowledge.
    port.Inject({PARAM_CODE, ERASE_CODE, OK_CODE});
    port.InjectAfter(60, {OK_CODE});
    uint32_t start = TickMs();
    EXPECT_TRUE(job.WaitOk());
    EXPECT_GE(ElapsedMs(start), 50u);
    EXPECT_EQ(port.Waiting(), 0u);

    // A parameter that eats into the limit leaves only the rest of it.
    port.Inject({PARAM_CODE, 0x01});
    port.InjectAfter(100, {0x02});
    start = TickMs();
    EXPECT_FALSE(job.WaitOk());
    uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 400u);
}

TEST_F(LinkTest, WaitOkLogsProgramFailAndGoesOnWaiting) {
    port.Inject({PROGRAM_FAIL, PROGRAM_FAIL});
    port.InjectAfter(40, {OK_CODE});
    EXPECT_TRUE(job.WaitOk());
    EXPECT_EQ(LogCount("'PROGRAM_FAIL' msg received."), 2);
}

TEST_F(LinkTest, WaitOkTimesOutWithoutBurningTheProcessor) {
    uint32_t start = TickMs();
    EXPECT_FALSE(job.WaitOk());
    uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(Logs(), std::vector<std::string>{"'OK_CODE' waiting time out."});
    // Blocking on the data-arrival wait: a handful of reads, not a spin.
    EXPECT_LT(port.m_ReadCalls.load(), 40u);
    EXPECT_GE(port.m_WaitCalls.load(), 1u);
}

TEST_F(LinkTest, WaitOkEndsAtOnceOnCancelOrStop) {
    job.m_Timings.okWaitMs = 10000;
    ExpectCancelled([this] { return job.WaitOk(); });
    EXPECT_TRUE(Logs().empty());

    job.m_Cancel.Set(0);
    EXPECT_FALSE(job.IsAborted());
    channel.RequestStop();
    EXPECT_TRUE(job.IsAborted());
    uint32_t start = TickMs();
    EXPECT_FALSE(job.WaitRecWait());
    EXPECT_LT(ElapsedMs(start), 100u);
}

TEST_F(LinkTest, WaitRecWaitSkipsParametersAndTimesOutQuietly) {
    port.Inject({PARAM_CODE, ERASE_CODE, REC_WAIT_CODE, PROGRAM_FAIL, OK_CODE});
    port.InjectAfter(40, {REC_WAIT_CODE});
    EXPECT_TRUE(job.WaitRecWait());
    EXPECT_TRUE(Logs().empty()); // PROGRAM_FAIL is not reported here

    uint32_t start = TickMs();
    EXPECT_FALSE(job.WaitRecWait());
    EXPECT_GE(ElapsedMs(start), 200u);
    EXPECT_EQ(Logs(), std::vector<std::string>{"'REC_WAIT_CODE' waiting time out."});
}

TEST_F(LinkTest, ParameterReaders) {
    uint8_t value = 0;
    port.Inject({ERASE_CODE, 0x40});
    EXPECT_TRUE(job.ReadParam(value));
    EXPECT_EQ(value, 0x40);

    value = 7;
    port.Inject({0x01, 0x40});
    EXPECT_FALSE(job.ReadParam(value));
    EXPECT_EQ(value, 7);
    EXPECT_EQ(port.Waiting(), 0u);

    port.Inject({ERASE_CODE});
    uint32_t start = TickMs();
    EXPECT_FALSE(job.ReadParam(value));
    EXPECT_GE(ElapsedMs(start), 200u);

    port.Inject({0x33, 0x44, 0x55});
    EXPECT_TRUE(job.SkipParam());
    EXPECT_EQ(port.Waiting(), 1u);
    EXPECT_TRUE(Logs().empty());
}

TEST_F(LinkTest, GreetingAgreesTheSpeed) {
    GreetingScript script;
    script.Install(port);
    port.Inject({HELLO_CODE});
    EXPECT_TRUE(job.ConnectSfld());
    EXPECT_EQ(port.m_Baud.load(), 9);
    EXPECT_EQ(port.Sent(), (std::vector<uint8_t>{OK_CODE, OK_CODE, BAUD_OPEN, 9, BAUD_CLOSE}));
    EXPECT_EQ(Logs(), (std::vector<std::string>{"Connect SFLD", "SFLD hello first", "send OK_CODE",
                                                "SFLD hello", "send OK_CODE", "Wait for baud", "SFLD ok",
                                                "SFLD ok", "Baud rate - 9", "SFLD Connected"}));
}

TEST_F(LinkTest, GreetingIgnoresAThirdHelloAndAnEarlyBaudRequest) {
    GreetingScript script;
    // The baud request before the second hello is ignored; the third hello is not answered.
    script.afterFirstOk = {BAUD_CODE, HELLO_CODE, HELLO_CODE};
    script.Install(port);
    port.Inject({HELLO_CODE});
    EXPECT_TRUE(job.ConnectSfld());
    EXPECT_EQ(port.Sent(), (std::vector<uint8_t>{OK_CODE, OK_CODE, BAUD_OPEN, 9, BAUD_CLOSE}));
    EXPECT_EQ(LogCount("SFLD hello"), 1);
    EXPECT_EQ(LogCount("Wait for baud"), 1);
}

TEST_F(LinkTest, GreetingNeedsTwoOksBeforeTheEcho) {
    GreetingScript script;
    script.afterBaud = {OK_CODE, 9, 0x33, OK_CODE, 9};
    script.Install(port);
    port.Inject({HELLO_CODE});
    EXPECT_TRUE(job.ConnectSfld());
    EXPECT_EQ(LogCount("SFLD ok"), 2);
    EXPECT_EQ(LogCount("SFLD Connected"), 1);
    EXPECT_EQ(port.Waiting(), 0u);
    EXPECT_EQ(port.BaudHistory(), std::vector<int>{9});
}

TEST_F(LinkTest, GreetingFailures) {
    // No hello at all.
    uint32_t start = TickMs();
    EXPECT_FALSE(job.ConnectSfld());
    EXPECT_GE(ElapsedMs(start), 300u);
    EXPECT_EQ(Logs(), std::vector<std::string>{"Connect SFLD"});
    EXPECT_TRUE(port.Sent().empty());

    // A loader that never asks for the speed.
    GreetingScript script;
    script.afterSecondOk = {};
    script.Install(port);
    port.Inject({HELLO_CODE});
    start = TickMs();
    EXPECT_FALSE(job.ConnectSfld());
    EXPECT_GE(ElapsedMs(start), 300u);
    EXPECT_FALSE(HasLog("SFLD Connected"));
    EXPECT_TRUE(port.BaudHistory().empty());
}

TEST_F(LinkTest, GreetingEndsOnCancel) {
    job.m_Timings.helloMs = 10000;
    job.m_Timings.handshakeMs = 10000;
    ExpectCancelled([this] { return job.ConnectSfld(); });

    // Cancel after the first answer, inside the handshake loop.
    job.m_Cancel.Set(0);
    port.SetResponder([this](CScriptPort&, uint8_t b) {
        if (b == OK_CODE)
            job.m_Cancel.Set(1);
    });
    port.Inject({HELLO_CODE});
    uint32_t start = TickMs();
    EXPECT_FALSE(job.ConnectSfld());
    EXPECT_LT(ElapsedMs(start), 2000u);
    EXPECT_FALSE(HasLog("SFLD Connected"));
}

TEST_F(LinkTest, SfldVersionLine) {
    port.InjectText("$STALE\r\n"); // purged before the question
    AnswerText(VERSION_CODE, "xx$VER,SFLD 2.0\r\n$more");
    job.ReadSfldVersion();
    EXPECT_EQ(job.m_SfldVersion.Get(), "$VER,SFLD 2.0");
    EXPECT_EQ(Logs(), std::vector<std::string>{"SFLD Version ID: $VER,SFLD 2.0"});
    EXPECT_GE(port.m_Purges.load(), 1);
    EXPECT_EQ(port.Sent(), std::vector<uint8_t>{VERSION_CODE});
}

TEST_F(LinkTest, SfldVersionInterruptedByHelloAsksAgain) {
    int asked = 0;
    port.SetResponder([&asked](CScriptPort& p, uint8_t b) {
        if (b != VERSION_CODE)
            return;
        ++asked;
        if (asked == 1)
            p.Inject({HELLO_CODE, '$', 'V', HELLO_CODE});
        else if (asked == 3)
            p.InjectText("ER\n");
    });
    job.ReadSfldVersion();
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(job.m_SfldVersion.Get(), std::string("$V\xAA") + "ER");
    EXPECT_EQ(LogCount(std::string("SFLD Version ID: $V\xAA") + "ER"), 1);
}

TEST_F(LinkTest, SfldVersionSilenceStillLogsTheLine) {
    uint32_t start = TickMs();
    job.ReadSfldVersion();
    EXPECT_GE(ElapsedMs(start), 150u);
    EXPECT_EQ(job.m_SfldVersion.Get(), "");
    EXPECT_EQ(Logs(), std::vector<std::string>{"SFLD Version ID: "});

    // A cancelled query returns without its line.
    job.m_Cancel.Set(1);
    job.ReadSfldVersion();
    EXPECT_EQ(LogCount("SFLD Version ID: "), 1);
}

TEST_F(LinkTest, SfldVersionEndlessLineIsCut) {
    Answer(VERSION_CODE, std::vector<uint8_t>(2000, '$'));
    job.ReadSfldVersion();
    EXPECT_EQ(job.m_SfldVersion.Get().size(), CLoaderProtocol::VERSION_TEXT_MAX);
}

TEST_F(LinkTest, PfldVersionMatchesTheImage) {
    std::strcpy(image.Section(0).version, "1.5");
    image.Section(0).bootCurrent = false;
    AnswerText(PFL_VERSION_CODE, "noise$VER,PFLD_Pellar2v1.5 build\r\n");
    EXPECT_TRUE(job.ReadPfldVersion());
    EXPECT_TRUE(image.Section(0).bootCurrent);
    EXPECT_EQ(job.m_PfldVersion.Get(), "$VER,PFLD_Pellar2v1.5 build");
    EXPECT_EQ(Logs(),
              (std::vector<std::string>{"get PFL version", "PFLD Version ID: $VER,PFLD_Pellar2v1.5 build"}));
    EXPECT_EQ(port.Sent(), std::vector<uint8_t>{PFL_VERSION_CODE});
}

TEST_F(LinkTest, PfldVersionSkipsOtherLinesAndComparesTheVersion) {
    std::strcpy(image.Section(0).version, "1.4");
    image.Section(0).bootCurrent = false;
    port.SetResponder([](CScriptPort& p, uint8_t b) {
        if (b == PFL_VERSION_CODE) {
            p.Inject(Bytes("$GPGGA,1,2,3\r\n"));
            p.InjectAfter(30, Bytes("$VER,PFLD_Pellar2v1.5\n"));
        }
    });
    EXPECT_TRUE(job.ReadPfldVersion());
    EXPECT_FALSE(image.Section(0).bootCurrent); // 1.5 is not the image's 1.4
    EXPECT_EQ(job.m_PfldVersion.Get(), "$VER,PFLD_Pellar2v1.5");
    EXPECT_FALSE(HasLog("PFLD Version ID: $GPGGA,1,2,3"));

    // An image without a PFL version accepts any banner.
    image.Section(0).version[0] = '\0';
    EXPECT_TRUE(job.ReadPfldVersion());
    EXPECT_TRUE(image.Section(0).bootCurrent);
}

TEST_F(LinkTest, PfldVersionSilenceIsQuietFalse) {
    AnswerText(PFL_VERSION_CODE, "$VER,PFLD_Pellar2v1.5"); // never ended
    uint32_t start = TickMs();
    EXPECT_FALSE(job.ReadPfldVersion());
    EXPECT_GE(ElapsedMs(start), 150u);
    EXPECT_EQ(Logs(), std::vector<std::string>{"get PFL version"});
}
