// Opening, locking, closing and losing the device.

#include "TestSupport.h"

#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>

namespace {

class SerialLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Pty.Ok());
        ASSERT_TRUE(m_Other.Ok());
        test::ResetPortTable();
        m_Slot = test::AddPort(m_Pty.SlavePath());
        m_OtherSlot = test::AddPort(m_Other.SlavePath());
        ASSERT_EQ(m_OtherSlot, 2);
        m_Port.SetPortIndex(static_cast<uint8_t>(m_Slot));
        m_Port.SetBaudSetting(9);
    }

    test::CPty m_Pty;
    test::CPty m_Other;
    CChannel m_Channel;
    CSerialPort m_Port{m_Channel};
    int m_Slot = 0;
    int m_OtherSlot = 0;
};

} // namespace

TEST_F(SerialLifecycle, OffOpensNothingAndClosingAClosedPortLogsNothing) {
    m_Port.SetPortIndex(0);
    EXPECT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.IsOpen(), 0);
    EXPECT_FALSE(m_Port.SendByte(1));
    m_Port.Close();
    m_Port.Close();
    EXPECT_TRUE(test::LogTexts(m_Channel).empty());
    std::string text;
    EXPECT_FALSE(m_Port.TakeError(text));
    EXPECT_EQ(m_Port.GetPortId(), 2);
}

namespace {
// The receive thread logs "1" when the close wakes it; a thread closed before it ever waited has nothing to
// log.
std::vector<std::string> WithoutWakeLines(std::vector<std::string> lines, int& wakes) {
    wakes = 0;
    for (auto it = lines.begin(); it != lines.end();) {
        if (*it == "1") {
            ++wakes;
            it = lines.erase(it);
        } else {
            ++it;
        }
    }
    return lines;
}
} // namespace

TEST_F(SerialLifecycle, OpenAndCloseLogTheirLines) {
    int wakes = 0;
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.IsOpen(), 1);
    EXPECT_EQ(test::LogTexts(m_Channel), std::vector<std::string>{"begin threads"});
    // A second Open closes first.
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(WithoutWakeLines(test::LogTexts(m_Channel), wakes),
              (std::vector<std::string>{"close threads", "rx tx threads closed", "begin threads"}));
    EXPECT_LE(wakes, 1);
    // Once the receive thread waits, the close wakes it exactly once.
    ASSERT_TRUE(m_Pty.Write("w"));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.WaitRx(10); }));
    m_Port.Close();
    EXPECT_EQ(m_Port.IsOpen(), 0);
    EXPECT_EQ(test::LogTexts(m_Channel),
              (std::vector<std::string>{"close threads", "1", "rx tx threads closed"}));
    m_Port.Close();
    EXPECT_TRUE(test::LogTexts(m_Channel).empty());
    // Open empties both rings: bytes received before do not survive it.
    ASSERT_TRUE(m_Port.Open());
    ASSERT_TRUE(m_Pty.Write("x"));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.WaitRx(10); }));
    ASSERT_TRUE(m_Port.Open());
    uint8_t b = 0;
    EXPECT_FALSE(m_Port.ReadByte(b));
}

TEST_F(SerialLifecycle, HeldPortIsRefusedAndAFreeOpenClearsTheLock) {
    ASSERT_TRUE(m_Port.Open());
    CChannel channel;
    CSerialPort second(channel);
    second.SetPortIndex(static_cast<uint8_t>(m_Slot));
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.IsOpen(), 0);
    EXPECT_EQ(second.PortLocked(), 1);
    std::string text;
    ASSERT_TRUE(second.TakeError(text));
    EXPECT_EQ(text, m_Pty.SlavePath() + " is Locked by Another Device!");
    EXPECT_FALSE(second.TakeError(text));
    EXPECT_TRUE(test::LogTexts(channel).empty());

    // Another program holding only the advisory lock is refused the same way.
    m_Port.Close();
    const int holder = open(m_Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.PortLocked(), 1);
    close(holder);
    // So is one holding it in exclusive mode only.
    const int exclusive = open(m_Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(exclusive, 0);
    ASSERT_EQ(ioctl(exclusive, TIOCEXCL), 0);
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.PortLocked(), 1);
    ASSERT_TRUE(second.TakeError(text));
    EXPECT_EQ(text, m_Pty.SlavePath() + " is Locked by Another Device!");
    ioctl(exclusive, TIOCNXCL);
    close(exclusive);

    second.SetPortIndex(static_cast<uint8_t>(m_OtherSlot));
    EXPECT_TRUE(second.Open());
    EXPECT_EQ(second.IsOpen(), 1);
    EXPECT_EQ(second.PortLocked(), 0);
    EXPECT_EQ(second.GetPortId(), m_OtherSlot + 2);
    // The first port is free again.
    EXPECT_TRUE(m_Port.Open());
}

TEST_F(SerialLifecycle, OpenThatFailsLateLeavesTheDeviceFree) {
    // Room for the device but not for the abort signals: Open fails after it has taken the device.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool opened = m_Port.Open();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(opened);
    std::string text;
    ASSERT_TRUE(m_Port.TakeError(text));
    EXPECT_EQ(text, m_Pty.SlavePath() + " Serial Port Open Error!");
    EXPECT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.PortLocked(), 0);
}

TEST_F(SerialLifecycle, UnopenablePortsGiveTheOpenErrorText) {
    const std::string dir = test::TempDir();
    const std::string file = dir + "/not-a-terminal";
    std::ofstream(file) << "plain file";
    const int missing = test::AddPort(dir + "/no-such-device");
    const int plain = test::AddPort(file);
    std::string text;

    m_Port.SetPortIndex(static_cast<uint8_t>(missing));
    EXPECT_FALSE(m_Port.Open());
    EXPECT_EQ(m_Port.PortLocked(), 0);
    ASSERT_TRUE(m_Port.TakeError(text));
    EXPECT_EQ(text, dir + "/no-such-device Serial Port Open Error!");

    m_Port.SetPortIndex(static_cast<uint8_t>(plain));
    EXPECT_FALSE(m_Port.Open());
    EXPECT_EQ(m_Port.IsOpen(), 0);
    ASSERT_TRUE(m_Port.TakeError(text));
    EXPECT_EQ(text, file + " Serial Port Open Error!");

    // A slot beyond the table names nothing.
    m_Port.SetPortIndex(200);
    EXPECT_FALSE(m_Port.Open());
    ASSERT_TRUE(m_Port.TakeError(text));
    EXPECT_EQ(text, " Serial Port Open Error!");
    EXPECT_TRUE(test::LogTexts(m_Channel).empty());
    std::remove(file.c_str());
    rmdir(dir.c_str());
}

TEST_F(SerialLifecycle, CloseEndsBothThreadsWhileTheFarSideReadsNothing) {
    ASSERT_TRUE(m_Port.Open());
    // Fill the pseudo-terminal until the transmit thread hangs in a write that nobody takes.
    std::vector<uint8_t> block(32000, 0xA5);
    bool stuck = false;
    for (int round = 0; round < 12 && !stuck; ++round) {
        ASSERT_TRUE(m_Port.Send(block.data(), static_cast<uint32_t>(block.size())));
        const uint32_t asked = TickMs();
        m_Port.IsTxDone();
        stuck = ElapsedMs(asked) >= CSerialPort::REPLY_WAIT_MS - 20;
    }
    ASSERT_TRUE(stuck);
    ASSERT_TRUE(m_Port.Send(block.data(), static_cast<uint32_t>(block.size())));
    const uint32_t start = TickMs();
    m_Port.Close();
    EXPECT_LT(ElapsedMs(start), 3000u);
    EXPECT_EQ(m_Port.IsOpen(), 0);
    const std::vector<std::string> lines = test::LogTexts(m_Channel);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "close threads");
    EXPECT_EQ(lines.back(), "rx tx threads closed");
    // And the device is really given back.
    EXPECT_TRUE(m_Port.Open());
}

TEST_F(SerialLifecycle, HungUpDeviceCostsNoCpuAndCheckPresenceClosesIt) {
    ASSERT_TRUE(m_Port.Open());
    m_Port.CheckPresence();
    EXPECT_EQ(m_Port.IsOpen(), 1);
    test::LogTexts(m_Channel);

    m_Pty.CloseMaster();
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.HungUp(); }));
    // The loss is reported once as an I/O error.
    std::string text;
    EXPECT_TRUE(test::WaitUntil([&] { return m_Port.TakeError(text); }));
    EXPECT_EQ(text, "An I/O error occurred during communications with the device.\n");
    // Both threads now wait for their abort only: a spinning thread would burn the whole interval.
    EXPECT_TRUE(m_Port.SendString("lost"));
    const double cpuBefore = test::ProcessCpuMs();
    const uint32_t start = TickMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const double cpu = test::ProcessCpuMs() - cpuBefore;
    EXPECT_LT(cpu, 0.4 * ElapsedMs(start)) << cpu << " ms of CPU";
    EXPECT_FALSE(m_Port.WaitRx(30));

    m_Port.CheckPresence();
    EXPECT_EQ(m_Port.IsOpen(), 0);
    EXPECT_EQ(test::LogTexts(m_Channel),
              (std::vector<std::string>{"close threads", "1", "rx tx threads closed"}));
}

TEST_F(SerialLifecycle, CloseOpenAndPresenceChecksFromSeveralThreads) {
    std::atomic<bool> running{true};
    std::thread dialog([&] {
        while (running.load()) {
            m_Port.CheckPresence();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread user([&] {
        uint8_t b = 0;
        while (running.load()) {
            m_Port.SendString("ping");
            m_Port.ReadByte(b);
            m_Port.WaitRx(2);
            m_Port.Purge();
        }
    });
    std::thread farSide([&] {
        while (running.load()) {
            m_Pty.Read(4096, 5);
            m_Pty.Write("pong");
        }
    });
    int opened = 0;
    for (int i = 0; i < 25; ++i) {
        opened += m_Port.Open() && m_Port.IsOpen() ? 1 : 0;
        m_Port.IsTxDone();
        if (i % 2)
            m_Port.Close();
    }
    running.store(false);
    dialog.join();
    user.join();
    farSide.join();
    EXPECT_EQ(opened, 25);
    m_Port.Close();
    EXPECT_EQ(m_Port.IsOpen(), 0);
}
