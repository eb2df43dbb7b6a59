// A whole target upload through the Win32 serial port, against the simulated receiver on a mapped COM port.

#include "ComPort.h"
#include "LoaderFixture.h"

#include "serial/SerialPort.h"

class ComUploadTest : public ImageFixture {
protected:
    void SetUp() override {
        m_Dir.Write("tz5_sfl.hex", SfldFile("SFLD wine test 1.0", 2500));
        const int slot = ComPortSlot();
        ASSERT_GT(slot, 0) << g_ComPort;
        m_Port.SetPortIndex(static_cast<uint8_t>(slot));
        m_Port.SetBaudSetting(9);
        m_Port.SetParity(2);
        m_Port.SetStopBits(0);
        ASSERT_TRUE(m_Port.Open());
    }
    void TearDown() override {
        m_Port.Close();
        ImageFixture::TearDown();
    }

    CChannel m_PortChannel;
    CSerialPort m_Port{m_PortChannel};
};

TEST_F(ComUploadTest, UnionImageIsProgrammedAndRun) {
    LoadUnion(0x10000, 5);
    CLoaderProtocol job(channel, &m_Port, image, Dir());
    job.m_ConnectBudget.store(10);
    const uint32_t start = TickMs();
    ASSERT_TRUE(job.UploadTarget()) << LogText();
    std::printf("upload of 64 KiB took %u ms\n", ElapsedMs(start));
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(job.m_Phase.Get(), 3);
    EXPECT_EQ(m_Port.GetBaudIndex(), 9);
    EXPECT_EQ(job.m_SfldVersion.Get(), "$VER,SFLD wine test 1.0");
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Erasing FLASH memory", "Programming"}));
    ExpectLogOrder({"Upload SFLD From file - " + NativePath(Dir() + "/tz5_sfl.hex"), "Baud rate - 115200",
                    "get PFL version", "PFLD Version ID: $VER,PFLD_Pellar2v1.5", "TZ5 PFL - connected",
                    "Run image at address 0x201000", "SFLD upload is successful", "Connect SFLD",
                    "SFLD Connected"});
    EXPECT_EQ(LogCount("ERROR: Send Record TIMEOUT."), 0);
}
