// Data through a real pseudo-terminal: the test holds the master side and plays the receiver.

#include "TestSupport.h"

#include "serial/SerialPort.h"
#include "serial/SerialSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

namespace {

class SerialPortData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Pty.Ok());
        test::ResetPortTable();
        m_Slot = test::AddPort(m_Pty.SlavePath());
        ASSERT_EQ(m_Slot, 1);
        m_Port.SetPortIndex(static_cast<uint8_t>(m_Slot));
        m_Port.SetParity(2);
        m_Port.SetStopBits(0);
        m_Port.SetBaudSetting(9);
    }

    // Everything the port received, waiting on the data-arrival signal in between.
    std::vector<uint8_t> Receive(size_t count, uint32_t ms = 10000) {
        std::vector<uint8_t> out;
        const uint32_t start = TickMs();
        uint8_t b = 0;
        while (out.size() < count && ElapsedMs(start) <= ms) {
            if (m_Port.ReadByte(b))
                out.push_back(b);
            else
                m_Port.WaitRx(100);
        }
        return out;
    }

    test::CPty m_Pty;
    CChannel m_Channel;
    CSerialPort m_Port{m_Channel};
    int m_Slot = 0;
};

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

} // namespace

TEST_F(SerialPortData, BytesBothWaysAtEveryRate) {
    m_Port.SetBaudSetting(0);
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Pty.OutSpeed(), static_cast<speed_t>(B300));
    const std::vector<uint8_t> bytes = AllByteValues();
    for (int index = 0; index < BAUD_INDEX_COUNT; ++index) {
        m_Port.SetBaudIndex(index);
        EXPECT_EQ(m_Port.GetBaudIndex(), index);
        const termios tio = m_Pty.LineSettings();
        EXPECT_EQ(cfgetospeed(&tio), SpeedOfRate(BaudRateOf(index))) << index;
        EXPECT_EQ(cfgetispeed(&tio), SpeedOfRate(BaudRateOf(index))) << index;

        ASSERT_TRUE(m_Port.Send(bytes.data(), static_cast<uint32_t>(bytes.size())));
        EXPECT_EQ(m_Pty.Read(bytes.size()), bytes) << index;
        ASSERT_TRUE(m_Pty.Write(bytes));
        EXPECT_EQ(Receive(bytes.size()), bytes) << index;
    }
    // Open applies the stored rate.
    m_Port.SetBaudSetting(5);
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Pty.OutSpeed(), static_cast<speed_t>(B9600));
    EXPECT_TRUE(m_Port.SendString("$PQELQ,RID\r\n"));
    EXPECT_TRUE(m_Port.SendByte(0x55));
    EXPECT_EQ(m_Pty.ReadText(13), "$PQELQ,RID\r\nU");
}

TEST_F(SerialPortData, OpenSetsLineAsSelected) {
    struct Case {
        uint8_t paritySelector;
        uint8_t stopSelector;
        tcflag_t parityBits;
        bool twoStops;
    } cases[] = {
        {2, 0, 0, false},
        {0, 2, PARENB, true},
        {3, 1, PARENB | PARODD, true},
        {1, 0, PARENB | PARODD | CMSPAR, false},
    };
    for (const Case& c : cases) {
        m_Port.SetParity(c.paritySelector);
        m_Port.SetStopBits(c.stopSelector);
        ASSERT_TRUE(m_Port.Open());
        const termios tio = m_Pty.LineSettings();
        // A pseudo-terminal keeps the parity kind but always reports PARENB off.
        EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parityBits & ~static_cast<tcflag_t>(PARENB));
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parityBits != 0);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_cflag & CRTSCTS);
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
        EXPECT_EQ((tio.c_iflag & PARMRK) != 0, c.parityBits != 0);
        EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
        m_Port.Close();
    }
}

TEST_F(SerialPortData, ParityMarkingIsUndoneOnReceive) {
    // With parity on, the driver doubles a real 0xFF; the port must hand over the bytes as they were sent.
    m_Port.SetParity(0);
    ASSERT_TRUE(m_Port.Open());
    const std::vector<uint8_t> bytes = {0xFF, 0x00, 0x41, 0xFF, 0xFF, 0x00, 0x00, 0x65, 0xFF};
    ASSERT_TRUE(m_Pty.Write(bytes));
    EXPECT_EQ(Receive(bytes.size()), bytes);
    const std::vector<uint8_t> all = AllByteValues();
    ASSERT_TRUE(m_Pty.Write(all));
    EXPECT_EQ(Receive(all.size()), all);
}

TEST_F(SerialPortData, LargeSendKeepsTheLast32761Bytes) {
    ASSERT_TRUE(m_Port.Open());
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    ASSERT_TRUE(m_Port.Send(data.data(), static_cast<uint32_t>(data.size())));
    const std::vector<uint8_t> tail(data.end() - (CSerialPort::RING_SIZE - 1), data.end());
    EXPECT_EQ(m_Pty.Read(tail.size()), tail);
    EXPECT_TRUE(m_Pty.Read(1, 200).empty());
    // The count is taken as 16 bits: 65536 + 3 bytes send three.
    std::vector<uint8_t> wrapped(65536 + 3, 0x33);
    wrapped[0] = 0x31;
    ASSERT_TRUE(m_Port.Send(wrapped.data(), static_cast<uint32_t>(wrapped.size())));
    EXPECT_EQ(m_Pty.Read(4, 500), (std::vector<uint8_t>{0x31, 0x33, 0x33}));
}

TEST_F(SerialPortData, WaitRxWakesOnDataDeadlineAndCancel) {
    ASSERT_TRUE(m_Port.Open());
    // Nothing arrives: the deadline ends the wait.
    uint32_t start = TickMs();
    EXPECT_FALSE(m_Port.WaitRx(60));
    EXPECT_GE(ElapsedMs(start), 55u);
    EXPECT_FALSE(m_Port.WaitRx(0));

    // A byte that arrives during the wait ends it long before the deadline.
    std::atomic<int> phase{0};
    std::thread writer([&] {
        test::WaitUntil([&] { return phase.load() == 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        m_Pty.Write(std::vector<uint8_t>{0x7E});
    });
    phase.store(1);
    start = TickMs();
    EXPECT_TRUE(m_Port.WaitRx(20000));
    EXPECT_LT(ElapsedMs(start), 10000u);
    writer.join();
    // A waiting byte answers at once, and stays until taken.
    EXPECT_TRUE(m_Port.WaitRx(0));
    EXPECT_TRUE(m_Port.WaitRx(20000));
    uint8_t b = 0;
    ASSERT_TRUE(m_Port.ReadByte(b));
    EXPECT_EQ(b, 0x7E);
    EXPECT_FALSE(m_Port.ReadByte(b));

    // WakeWaiters releases a waiting caller without a byte.
    std::atomic<bool> done{false};
    std::atomic<bool> result{true};
    std::thread waiter([&] {
        result.store(m_Port.WaitRx(20000));
        done.store(true);
    });
    ASSERT_FALSE(test::WaitUntil([&] { return done.load(); }, 100));
    start = TickMs();
    EXPECT_TRUE(test::WaitUntil([&] {
        m_Port.WakeWaiters();
        return done.load();
    }));
    EXPECT_LT(ElapsedMs(start), 10000u);
    waiter.join();
    EXPECT_FALSE(result.load());

    // Close releases it too.
    done.store(false);
    std::thread closing([&] {
        result.store(m_Port.WaitRx(20000));
        done.store(true);
    });
    ASSERT_FALSE(test::WaitUntil([&] { return done.load(); }, 100));
    EXPECT_TRUE(test::WaitUntil([&] {
        if (m_Port.IsOpen())
            m_Port.Close();
        else if (!done.load())
            m_Port.WakeWaiters(); // only if the waiter came after the close
        return done.load();
    }));
    closing.join();
    EXPECT_EQ(m_Port.IsOpen(), 0);
}

TEST_F(SerialPortData, PurgeAfterTxDoneKeepsBytesJustWritten) {
    // The loader's run command is followed by exactly this: wait until sent, then purge. A pause in the
    // transmit pass (as on a loaded machine) must not let an answer from before the send count.
    setenv("KV_TX_ANSWER_PAUSE_US", "200", 1);
    ASSERT_TRUE(m_Port.Open());
    unsetenv("KV_TX_ANSWER_PAUSE_US");
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        const std::string command = "G" + std::to_string(0x201000 + i) + "#";
        ASSERT_TRUE(m_Port.SendString(command.c_str()));
        const uint32_t start = TickMs();
        while (m_Port.IsTxDone() == 0 && ElapsedMs(start) < 5000) {
        }
        m_Port.Purge();
        sent += command;
    }
    const std::string got = m_Pty.ReadText(sent.size(), 5000);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    // Purge empties what was received and not yet taken.
    ASSERT_TRUE(m_Pty.Write("abc"));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.WaitRx(10); }));
    m_Port.Purge();
    uint8_t b = 0;
    EXPECT_FALSE(m_Port.ReadByte(b));
    ASSERT_TRUE(m_Pty.Write("z"));
    EXPECT_EQ(Receive(1), std::vector<uint8_t>{'z'});
}

TEST_F(SerialPortData, TxDoneAndBaudChangeStayWithinTheirBound) {
    ASSERT_TRUE(m_Port.Open());
    // Idle: the transmit thread answers at once.
    uint32_t start = TickMs();
    EXPECT_EQ(m_Port.IsTxDone(), 1);
    EXPECT_LT(ElapsedMs(start), 500u);

    // The far side takes nothing: fill the pseudo-terminal until the transmit thread is stuck in a write.
    std::vector<uint8_t> block(30000, 0x5A);
    bool stuck = false;
    for (int round = 0; round < 12 && !stuck; ++round) {
        ASSERT_TRUE(m_Port.Send(block.data(), static_cast<uint32_t>(block.size())));
        start = TickMs();
        const int idle = m_Port.IsTxDone();
        const uint32_t took = ElapsedMs(start);
        EXPECT_LT(took, 1500u);
        if (took >= CSerialPort::REPLY_WAIT_MS - 20) {
            stuck = true;
            EXPECT_EQ(idle, 0);
        }
    }
    ASSERT_TRUE(stuck);
    start = TickMs();
    m_Port.SetBaudIndex(7);
    const uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, CSerialPort::REPLY_WAIT_MS - 20);
    EXPECT_LT(took, 1500u);
    EXPECT_EQ(m_Port.GetBaudIndex(), 7);

    // Once the far side reads, the queue drains and the baud change reaches the line.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading.load())
            m_Pty.Read(1 << 20, 50);
    });
    EXPECT_TRUE(test::WaitUntil([&] { return m_Port.IsTxDone() == 1; }));
    EXPECT_EQ(m_Pty.OutSpeed(), static_cast<speed_t>(B38400));
    reading.store(false);
    reader.join();
}

TEST_F(SerialPortData, ClosedPortAnswersWithoutWaiting) {
    uint32_t start = TickMs();
    EXPECT_EQ(m_Port.IsTxDone(), 0);
    m_Port.SetBaudIndex(3);
    EXPECT_LT(ElapsedMs(start), 400u);
    EXPECT_EQ(m_Port.GetBaudIndex(), 3);
    // The stored rate is what the next Open applies.
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Pty.OutSpeed(), static_cast<speed_t>(B2400));
    EXPECT_EQ(m_Port.IsTxDone(), 1);
    m_Port.Close();
    EXPECT_EQ(m_Port.IsTxDone(), 1);
}
