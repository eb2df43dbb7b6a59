#include "TestSupport.h"

#include "serial/PortWorker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class PortWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_PtyA.Ok());
        ASSERT_TRUE(m_PtyB.Ok());
        test::ResetPortTable();
        ASSERT_EQ(test::AddPort(m_PtyA.SlavePath()), 1);
        ASSERT_EQ(test::AddPort(m_PtyB.SlavePath()), 2);
        m_Identified.Set(1);
    }
    void TearDown() override { m_Worker.Join(); }

    // Waits until the worker has the slot open.
    bool OpenOn(int slot) {
        return test::WaitUntil(
            [&] { return m_Worker.m_Port->IsOpen() == 1 && m_Worker.m_Port->GetPortId() == slot + 2; });
    }

    // Another port can open the slot: nobody holds it.
    static bool SlotIsFree(int slot) {
        CChannel channel;
        CSerialPort other(channel);
        other.SetPortIndex(static_cast<uint8_t>(slot));
        return other.Open();
    }

    test::CPty m_PtyA;
    test::CPty m_PtyB;
    CChannel m_Channel;
    LockedInt m_Identified{0};
    CPortWorker m_Worker{m_Channel, m_Identified};
};

} // namespace

TEST_F(PortWorkerTest, RequestOpensThePortAt115200EightNOne) {
    EXPECT_EQ(m_Worker.m_Port, static_cast<CCommPort*>(&m_Worker.m_SerialPort));
    m_Worker.m_SerialPort.SetBaudSetting(4);
    m_Worker.RequestPort(1);
    m_Worker.Start();
    ASSERT_TRUE(OpenOn(1));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Get() == 1; }));
    EXPECT_EQ(m_Identified.Get(), 0);
    EXPECT_EQ(m_Worker.m_Port->GetBaudIndex(), 9);
    // The index in force before the open attempt was kept.
    EXPECT_EQ(m_Worker.m_SerialPort.m_SavedBaud.load(), 4);
    const termios tio = m_PtyA.LineSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    ASSERT_TRUE(m_Worker.m_Port->SendString("$PQELQ,RIO\r\n"));
    EXPECT_EQ(m_PtyA.ReadText(12), "$PQELQ,RIO\r\n");
    ASSERT_TRUE(m_PtyA.Write("ok"));
    uint8_t b = 0;
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_Port->WaitRx(50); }));
    ASSERT_TRUE(m_Worker.m_Port->ReadByte(b));
    EXPECT_EQ(b, 'o');
}

TEST_F(PortWorkerTest, AnotherRequestSwitchesAndOffCloses) {
    m_Worker.RequestPort(1);
    m_Worker.Start();
    ASSERT_TRUE(OpenOn(1));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Changed() == 1; }));
    m_Worker.m_PortOpened.Get();
    m_Identified.Set(1);

    m_Worker.RequestPort(2);
    ASSERT_TRUE(OpenOn(2));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Changed() == 1; }));
    EXPECT_EQ(m_Identified.Get(), 0);
    EXPECT_TRUE(SlotIsFree(1)); // the first port was given back

    m_Identified.Set(1);
    m_Worker.RequestPort(0);
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_Port->IsOpen() == 0; }));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Identified.Get() == 0; }));
    // "OFF" stays closed over several passes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    EXPECT_EQ(m_Worker.m_Port->GetPortId(), 2);
}

TEST_F(PortWorkerTest, HeldPortIsRetriedQuietlyUntilItIsFree) {
    CChannel channel;
    CSerialPort holder(channel);
    holder.SetPortIndex(1);
    ASSERT_TRUE(holder.Open());

    m_Worker.RequestPort(1);
    m_Worker.Start();
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_SerialPort.PortLocked() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    EXPECT_EQ(m_Worker.m_SerialPort.PortLocked(), 1);
    EXPECT_TRUE(test::LogTexts(m_Channel).empty());
    // The error text was taken and dropped by the worker.
    std::string text;
    EXPECT_FALSE(m_Worker.m_SerialPort.TakeError(text));

    holder.Close();
    ASSERT_TRUE(OpenOn(1));
    EXPECT_EQ(m_Worker.m_SerialPort.PortLocked(), 0);
    EXPECT_EQ(test::LogTexts(m_Channel), std::vector<std::string>{"begin threads"});
}

TEST_F(PortWorkerTest, RequestOutsideTheTableOpensNothing) {
    // 257 must not wrap around to slot 1.
    m_Worker.RequestPort(257);
    m_Worker.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    m_Worker.RequestPort(-5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    EXPECT_TRUE(SlotIsFree(1));
}

TEST_F(PortWorkerTest, VanishedDeviceIsClosedAndReopenedWhenItComesBack) {
    const std::string dir = test::TempDir();
    const std::string link = dir + "/by-id-receiver";
    fs::create_symlink(m_PtyA.SlavePath(), link);
    const int slot = test::AddPort(link);
    ASSERT_EQ(slot, 3);

    m_Worker.RequestPort(slot);
    m_Worker.Start();
    ASSERT_TRUE(OpenOn(slot));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Get() == 1; }));
    test::LogTexts(m_Channel);

    // The device goes away, and with it its link (the freed pseudo-terminal number may soon belong to another
    // program): the worker notices on its own and closes the port.
    fs::remove(link);
    m_PtyA.CloseMaster();
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_Port->IsOpen() == 0; }));
    std::vector<std::string> lines;
    EXPECT_TRUE(test::WaitUntil([&] {
        for (const std::string& line : test::LogTexts(m_Channel))
            lines.push_back(line);
        return !lines.empty() && lines.back() == "rx tx threads closed";
    }));
    EXPECT_EQ(lines.front(), "close threads");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    // No open succeeded meanwhile: the opened cell was not set again.
    EXPECT_EQ(m_Worker.m_PortOpened.Changed(), 0);

    // It comes back under the same name.
    test::CPty back;
    ASSERT_TRUE(back.Ok());
    const std::string fresh = link + ".new";
    fs::create_symlink(back.SlavePath(), fresh);
    fs::rename(fresh, link);
    ASSERT_TRUE(OpenOn(slot));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Changed() == 1; }));
    EXPECT_EQ(m_Worker.m_PortOpened.Get(), 1);
    ASSERT_TRUE(m_Worker.m_Port->SendString("again"));
    EXPECT_EQ(back.ReadText(5), "again");
    m_Worker.Join();
    fs::remove_all(dir);
}

TEST_F(PortWorkerTest, StopEndsTheLoopAndClosesThePort) {
    m_Worker.m_PassWaitMs = 20;
    m_Worker.m_RetryWaitMs = 20;
    std::thread loop([&] { m_Worker.SuperviseLoop(); });
    m_Worker.RequestPort(2);
    ASSERT_TRUE(OpenOn(2));
    const uint32_t start = TickMs();
    m_Channel.RequestStop();
    m_Worker.m_WakeEvent.Pulse();
    loop.join();
    EXPECT_LT(ElapsedMs(start), 5000u);
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);

    // Join ends a started worker even without a stop on the channel.
    CChannel channel;
    CPortWorker worker(channel, m_Identified);
    worker.RequestPort(1);
    worker.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return worker.m_Port->IsOpen() == 1; }));
    worker.Join();
    EXPECT_EQ(worker.m_Port->IsOpen(), 0);
}
