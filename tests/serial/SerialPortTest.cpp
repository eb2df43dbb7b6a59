// The serial port on a real pseudo-terminal: the test holds the master side and plays the receiver.

#include "serial/SerialPort.h"
#include "Pty.h"
#include "serial/ParmrkDecoder.h"
#include "serial/PortTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnumeratePortsIn("/nonexistent", "/dev"); // only "OFF"
        ASSERT_TRUE(AddPortName(m_Pty.Path().c_str()));
        m_Port.SetPortIndex(1);
        m_Port.SetBaudSetting(9);
    }
    std::string Receive(size_t count) {
        std::string out;
        const uint32_t start = TickMs();
        uint8_t b = 0;
        while (out.size() < count && ElapsedMs(start) <= 10000)
            if (m_Port.ReadByte(b))
                out += static_cast<char>(b);
            else
                m_Port.WaitRx(100);
        return out;
    }
    // Fills the pseudo-terminal until the transmit thread hangs in a write that nobody takes.
    bool Jam() {
        const std::string block(30000, 'Z');
        for (int round = 0; round < 12; ++round) {
            m_Port.SendString(block.c_str());
            const uint32_t asked = TickMs();
            if (m_Port.IsTxDone() == 0 && ElapsedMs(asked) >= CSerialPort::REPLY_WAIT_MS - 20)
                return true;
        }
        return false;
    }
    std::string Error() {
        std::string text;
        return m_Port.TakeError(text) ? text : "(none)";
    }

    test::CPty m_Pty;
    CChannel m_Channel;
    CSerialPort m_Port{m_Channel};
};

std::string AllBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

} // namespace

TEST_F(SerialPortTest, BytesBothWaysAtEveryRateAndLineAsSelected) {
    ASSERT_TRUE(m_Port.Open());
    const speed_t speeds[] = {B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    for (int index = 0; index < 10; ++index) {
        m_Port.SetBaudIndex(index);
        const termios tio = m_Pty.Line();
        EXPECT_EQ(cfgetospeed(&tio), speeds[index]) << index;
        EXPECT_EQ(cfgetispeed(&tio), speeds[index]) << index;
        ASSERT_TRUE(m_Port.SendString(AllBytes().c_str() + 1)); // a text ends at its zero
        EXPECT_EQ(m_Pty.Read(255), AllBytes().substr(1)) << index;
        ASSERT_TRUE(m_Pty.Write(AllBytes()));
        EXPECT_EQ(Receive(256), AllBytes()) << index;
    }
    // Selectors: parity 2 none, 0 even, 3 odd, 1 mark; stop bits 0 one, 1 and 2 two.
    const struct {
        uint8_t parity, stops;
        tcflag_t bits;
        bool two;
    } lines[] = {
        {2, 0, 0, false}, {0, 2, PARENB, true}, {3, 1, PARODD, true}, {1, 0, PARODD | CMSPAR, false}};
    for (const auto& l : lines) {
        m_Port.SetParity(l.parity);
        m_Port.SetStopBits(l.stops);
        m_Port.SetBaudSetting(5);
        ASSERT_TRUE(m_Port.Open());
        const termios tio = m_Pty.Line();
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600)); // Open applies the stored rate
        // A pseudo-terminal keeps the parity kind but always reports PARENB off.
        EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), l.bits & ~static_cast<tcflag_t>(PARENB));
        EXPECT_EQ((tio.c_iflag & (INPCK | PARMRK)) != 0, l.bits != 0);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, l.two);
        EXPECT_EQ(tio.c_cflag & (CSIZE | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
        EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
        // With parity on the driver doubles a real 0xFF; the port hands over the bytes as they were sent.
        ASSERT_TRUE(m_Pty.Write(AllBytes() + std::string("\xFF\0", 2)));
        EXPECT_EQ(Receive(258), AllBytes() + std::string("\xFF\0", 2)) << int(l.parity);
    }
}

TEST(ParmrkDecoder, MarkedSequencesSplitAtEveryPoint) {
    // 0xFF 0xFF is one 0xFF; 0xFF 0x00 x is a byte with an error ('e'); 0xFF then anything else passes.
    const std::vector<uint8_t> raw = {0x10, 0xFF, 0xFF, 0xFF, 0x00, 0x99, 0xFF, 0x41, 0xFF, 0x00, 0x00, 0x20};
    const std::vector<uint8_t> expected = {0x10, 0xFF, 'e', 0xFF, 0x41, 'e', 0x20};
    for (size_t cut1 = 0; cut1 <= raw.size(); ++cut1)
        for (size_t cut2 = cut1; cut2 <= raw.size(); ++cut2) {
            CParmrkDecoder decoder;
            std::vector<uint8_t> out(raw.size() + 3);
            size_t n = decoder.Feed(raw.data(), cut1, out.data());
            n += decoder.Feed(raw.data() + cut1, cut2 - cut1, out.data() + n);
            n += decoder.Feed(raw.data() + cut2, raw.size() - cut2, out.data() + n);
            out.resize(n);
            EXPECT_EQ(out, expected) << cut1 << " " << cut2;
        }
}

TEST_F(SerialPortTest, LargeSendKeepsTheLast32761BytesAndCountsIn16Bits) {
    ASSERT_TRUE(m_Port.Open());
    std::string data(40000, ' ');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(m_Port.Send(reinterpret_cast<const uint8_t*>(data.data()), 40000));
    EXPECT_TRUE(m_Pty.Read(32761) == data.substr(40000 - 32761));
    std::string wrapped(65536 + 3, '3');
    ASSERT_TRUE(m_Port.Send(reinterpret_cast<const uint8_t*>(wrapped.data()), 65539));
    EXPECT_EQ(m_Pty.Read(4, 500), "333");
}

TEST_F(SerialPortTest, WaitRxEndsOnDataDeadlineWakeAndClose) {
    ASSERT_TRUE(m_Port.Open());
    uint32_t start = TickMs();
    EXPECT_FALSE(m_Port.WaitRx(60));
    EXPECT_GE(ElapsedMs(start), 55u);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        m_Pty.Write("~");
    });
    EXPECT_TRUE(m_Port.WaitRx(20000));
    writer.join();
    EXPECT_TRUE(m_Port.WaitRx(20000)); // a waiting byte answers at once until taken
    EXPECT_EQ(Receive(1), "~");
    for (int how = 0; how < 2; ++how) {
        std::atomic<int> result{-1};
        std::thread waiter([&] { result.store(m_Port.WaitRx(20000) ? 1 : 0); });
        EXPECT_FALSE(test::WaitUntil([&] { return result.load() >= 0; }, 100));
        EXPECT_TRUE(test::WaitUntil([&] {
            if (how == 1 && m_Port.IsOpen())
                m_Port.Close();
            m_Port.WakeWaiters(); // (a waiter that came after the close)
            return result.load() >= 0;
        }));
        waiter.join();
        EXPECT_EQ(result.load(), 0);
    }
}

TEST_F(SerialPortTest, PurgeAfterTxDoneKeepsBytesJustWritten) {
    // The loader's run command is followed by exactly this: wait until sent, then purge. Everything runs on
    // one processor; the port's threads and three callers asking all the time run at the lowest priority,
    // so the sender, waking from short sleeps, cuts into transmit passes at random points, also between a
    // pass's look at the queues and its answer. An answer that looked before the send must not count:
    // nothing is still queued when "done" comes.
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu)
        if (CPU_ISSET(cpu, &all))
            CPU_SET(cpu, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0); // threads started from here on inherit it
    std::atomic<bool> asking{true};
    std::atomic<bool> opened{false};
    std::vector<std::thread> askers;
    std::thread([&] {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19); // inherited by the port's threads
        opened.store(m_Port.Open());
    }).join();
    ASSERT_TRUE(opened.load());
    for (int i = 0; i < 3; ++i)
        askers.emplace_back([&] {
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
            while (asking.load())
                m_Port.IsTxDone();
        });
    std::string got;
    std::thread reader([&] {
        while (asking.load())
            got += m_Pty.Read(4096, 20);
    });
    std::string sent;
    int early = 0;
    for (int i = 0; i < 3000; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(20 + i % 37));
        const std::string command = "G" + std::to_string(0x201000 + i) + "#";
        ASSERT_TRUE(m_Port.SendString(command.c_str()));
        const uint32_t start = TickMs();
        while (m_Port.IsTxDone() == 0 && ElapsedMs(start) < 5000) {
        }
        early += m_Port.TxQueued() > 0 ? 1 : 0;
        m_Port.Purge();
        sent += command;
    }
    asking.store(false);
    for (std::thread& t : askers)
        t.join();
    reader.join();
    got += m_Pty.Read(sent.size() - std::min(sent.size(), got.size()), 5000);
    sched_setaffinity(0, sizeof all, &all);
    EXPECT_EQ(early, 0) << "sends still queued after the port said all was sent";
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    // Purge empties what was received and not yet taken.
    ASSERT_TRUE(m_Pty.Write("abc"));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.WaitRx(10); }));
    m_Port.Purge();
    ASSERT_TRUE(m_Pty.Write("z"));
    EXPECT_EQ(Receive(1), "z");
}

TEST_F(SerialPortTest, FarSideThatReadsNothingBoundsEveryCall) {
    ASSERT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.IsTxDone(), 1);
    ASSERT_TRUE(Jam());
    uint32_t start = TickMs();
    m_Port.SetBaudIndex(7);
    EXPECT_LT(ElapsedMs(start), 1500u);
    // Once the far side reads, the queue drains and the baud change reaches the line.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading.load())
            m_Pty.Read(1 << 20, 50);
    });
    EXPECT_TRUE(test::WaitUntil([&] { return m_Port.IsTxDone() == 1; }));
    const termios tio = m_Pty.Line();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    reading.store(false);
    reader.join();
    // Close ends both threads although nothing more is read, and gives the device back.
    ASSERT_TRUE(Jam());
    test::LogTexts(m_Channel);
    start = TickMs();
    m_Port.Close();
    EXPECT_LT(ElapsedMs(start), 3000u);
    EXPECT_EQ(test::LogTexts(m_Channel), (std::vector<std::string>{"close threads", "rx tx threads closed"}));
    EXPECT_TRUE(m_Port.Open());
}

TEST_F(SerialPortTest, ClosedPortAnswersAtOnce) {
    uint8_t b = 0;
    EXPECT_EQ(m_Port.IsTxDone(), 0);
    EXPECT_FALSE(m_Port.SendByte(1));
    EXPECT_FALSE(m_Port.SendString(nullptr));
    EXPECT_FALSE(m_Port.ReadByte(b));
    EXPECT_EQ(Error(), "(none)");
    EXPECT_EQ(m_Port.GetPortId(), 3);
    const uint32_t start = TickMs();
    m_Port.SetBaudIndex(3);
    EXPECT_LT(ElapsedMs(start), 400u);
    // Character times: n x 1000 / bytes per second, rounded, at least 1; no table entry above 9 means 115200.
    const int times[][3] = {{0, 0, 1}, {0, 1, 33}, {9, 3, 1}, {9, 1000, 87}, {5, 10, 10}, {12, 1000, 87}};
    for (const auto& t : times) {
        m_Port.SetBaudSetting(t[0]);
        EXPECT_EQ(m_Port.CharTimeMs(t[1]), t[2]) << t[0] << " " << t[1];
    }
    // The default port of the interface sleeps what it is asked (a missing port must not make waits spin).
    CCommPort none;
    const uint32_t waited = TickMs();
    EXPECT_FALSE(none.WaitRx(80));
    EXPECT_GE(ElapsedMs(waited), 75u);
}

TEST_F(SerialPortTest, OpenAndCloseLogTheirLines) {
    m_Port.SetPortIndex(0); // "OFF" opens nothing
    EXPECT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.IsOpen(), 0);
    m_Port.SetPortIndex(1);
    ASSERT_TRUE(m_Port.Open());
    ASSERT_TRUE(m_Pty.Write("x"));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Port.WaitRx(10); }));
    ASSERT_TRUE(m_Port.Open()); // closes first, and empties the rings
    EXPECT_FALSE(m_Port.WaitRx(0));
    m_Port.Close();
    m_Port.Close();
    EXPECT_EQ(m_Port.IsOpen(), 0);
    const std::vector<std::string> lines = test::LogTexts(m_Channel, true);
    EXPECT_LE(std::count(lines.begin(), lines.end(), "1"), 2); // a waiting receive thread, once per close
    std::vector<std::string> without;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(without), [](auto& l) { return l != "1"; });
    EXPECT_EQ(without, (std::vector<std::string>{"begin threads", "close threads", "rx tx threads closed",
                                                 "begin threads", "close threads", "rx tx threads closed"}));
}

TEST_F(SerialPortTest, HeldPortIsRefusedAndAFreeOpenClearsTheLock) {
    test::CPty other;
    ASSERT_TRUE(AddPortName(other.Path().c_str()));
    CSerialPort holder(m_Channel);
    holder.SetPortIndex(1);
    ASSERT_TRUE(holder.Open());
    const int fd = open(m_Pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Held by our own port, by another program's advisory lock, by another program's exclusive mode.
    for (int how = 0; how < 3; ++how) {
        if (how == 1) {
            holder.Close();
            ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        } else if (how == 2) {
            flock(fd, LOCK_UN);
            ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
        }
        EXPECT_FALSE(m_Port.Open()) << how;
        EXPECT_EQ(m_Port.PortLocked(), 1);
        EXPECT_EQ(Error(), m_Pty.Path() + " is Locked by Another Device!");
    }
    ioctl(fd, TIOCNXCL);
    close(fd);
    m_Port.SetPortIndex(2);
    EXPECT_TRUE(m_Port.Open());
    EXPECT_EQ(m_Port.PortLocked(), 0);
    EXPECT_EQ(m_Port.GetPortId(), 4);
}

TEST_F(SerialPortTest, UnopenablePortsGiveTheOpenErrorText) {
    // Paths that are no serial port are refused with what they are, before the device is opened (the
    // multiplexer would hand out a new terminal on every open).
    using Fault = CSerialPort::OpenFault;
    const struct {
        std::string path;
        Fault fault;
        std::string cause;
    } rows[] = {
        {"/nonexistent/ttyX", Fault::FAILED, "/nonexistent/ttyX: No such file or directory."},
        // The other kinds of path that are no port, with their texts, are EndToEnd's.
        {"/dev/ptmx", Fault::NOT_SERIAL,
         "/dev/ptmx is not a serial port (it is the pseudo-terminal multiplexer)."},
        {"", Fault::FAILED, ": No such file or directory."}, // a slot that is not filled
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        uint8_t slot = 200;
        if (!row.path.empty()) {
            ASSERT_TRUE(AddPortName(row.path.c_str()));
            slot = static_cast<uint8_t>(FindPortName(row.path));
        }
        m_Port.SetPortIndex(slot);
        EXPECT_FALSE(m_Port.Open());
        EXPECT_EQ(m_Port.PortLocked(), 0);
        EXPECT_EQ(Error(), PortName(slot) + " Serial Port Open Error!");
        EXPECT_EQ(m_Port.LastOpenFault(), row.fault);
        EXPECT_EQ(m_Port.OpenFaultText(), row.cause);
    }
    // A device other than the one required is not opened; the one required is, and its identity is kept.
    m_Port.SetPortIndex(1);
    ASSERT_TRUE(m_Port.Open());
    const PortIdentity mine = m_Port.Identity();
    EXPECT_TRUE(mine.known);
    EXPECT_EQ(PortIdentityText(mine).rfind("pseudo-terminal ", 0), 0u) << PortIdentityText(mine);
    m_Port.Close();
    test::CPty other;
    PortIdentity elsewhere;
    std::string reason;
    ASSERT_TRUE(LookAtPort(other.Path(), elsewhere, reason)) << reason;
    EXPECT_NE(elsewhere, mine);
    EXPECT_FALSE(m_Port.Open(&elsewhere));
    EXPECT_EQ(m_Port.LastOpenFault(), Fault::OTHER_DEVICE);
    EXPECT_EQ(m_Pty.Read(1, 50), "");
    EXPECT_TRUE(m_Port.Open(&mine));
    EXPECT_EQ(m_Port.LastOpenFault(), Fault::NONE);
    m_Port.Close();
    test::LogTexts(m_Channel);
    // Room for the device but not for the abort signals: Open fails after it has taken the device, which
    // must stay free (a pseudo-terminal keeps an exclusive mark after close).
    m_Port.SetPortIndex(1);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = dup(0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool opened = m_Port.Open();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(opened);
    EXPECT_EQ(Error(), m_Pty.Path() + " Serial Port Open Error!");
    EXPECT_TRUE(m_Port.Open());
    EXPECT_TRUE(test::LogTexts(m_Channel) == std::vector<std::string>{"begin threads"});
}

TEST_F(SerialPortTest, HungUpDeviceCostsNoCpuAndCheckPresenceClosesIt) {
    ASSERT_TRUE(m_Port.Open());
    m_Port.CheckPresence();
    EXPECT_EQ(m_Port.IsOpen(), 1);
    m_Pty.CloseMaster();
    // The loss is reported once as an I/O error.
    std::string text;
    EXPECT_TRUE(test::WaitUntil([&] { return m_Port.TakeError(text); }));
    EXPECT_EQ(text, "An I/O error occurred during communications with the device.\n");
    EXPECT_TRUE(m_Port.SendString("lost"));
    const std::clock_t cpu = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC * 16 / 100); // a spinning thread would burn all 400 ms
    m_Port.CheckPresence();
    EXPECT_EQ(m_Port.IsOpen(), 0);
}

TEST_F(SerialPortTest, CloseOpenAndPresenceChecksFromSeveralThreads) {
    std::atomic<bool> running{true};
    std::thread dialog([&] {
        while (running.load())
            m_Port.CheckPresence();
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
        while (running.load())
            m_Pty.Write(m_Pty.Read(4096, 5));
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
}
