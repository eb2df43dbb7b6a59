// The Win32 serial port against the simulated receiver on a mapped COM port: names, discovery, the line
// both ways, exclusive open, speed change, purge and a close that ends both threads at once.

#include "ComPort.h"
#include "Support.h"
#include "TestDir.h"

#include "core/Clock.h"
#include "serial/SerialPort.h"

#include <future>
#include <windows.h>

namespace {

using test::LogTexts;
using test::WaitUntil;

const std::string RID_REPLY = "$PQELR,RID,TZ5N,0102*";

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Slot = ComPortSlot();
        ASSERT_GT(m_Slot, 0) << g_ComPort;
    }
    // 8N1 at the baud index, as the port worker opens it.
    static bool OpenAt(CSerialPort& port, int slot, int baudIndex = 9) {
        port.SetPortIndex(static_cast<uint8_t>(slot));
        port.SetBaudSetting(baudIndex);
        port.SetParity(2);
        port.SetStopBits(0);
        return port.Open();
    }
    // Sends the identification query; what came back within ms (until the reply's line end).
    static std::string Ask(CSerialPort& port, uint32_t ms = 10000) {
        port.Purge();
        EXPECT_TRUE(port.SendString("$PQELQ,RID\r\n"));
        std::string got;
        const uint32_t start = TickMs();
        while (ElapsedMs(start) < ms) {
            port.WaitRx(50);
            for (uint8_t b = 0; port.ReadByte(b);)
                got += static_cast<char>(b);
            const size_t reply = got.find("$PQELR,RID,");
            if (reply != std::string::npos && got.find("\r\n", reply) != std::string::npos)
                break;
        }
        return got;
    }

    int m_Slot = -1;
    CChannel m_Channel;
    CSerialPort m_Port{m_Channel};
};

} // namespace

TEST(ComPortNames, NumbersFromTenOnNeedTheDeviceNamespace) {
    const struct {
        const char* entry;
        const char* device;
    } rows[] = {{"COM1", "COM1"},
                {"COM9", "COM9"},
                {"COM10", "\\\\.\\COM10"},
                {"COM12", "\\\\.\\COM12"},
                {"com254", "\\\\.\\COM254"},
                {"\\\\.\\COM3", "\\\\.\\COM3"},
                {"COMX", "COMX"},
                {"COM", "COM"}};
    for (const auto& row : rows)
        EXPECT_EQ(CSerialPort::DeviceName(row.entry), row.device) << row.entry;
}

TEST_F(ComPortTest, DiscoveryListsTheMappedPortInNaturalOrder) {
    const std::vector<std::string> names = SystemPortNames();
    EXPECT_NE(std::find(names.begin(), names.end(), g_ComPort), names.end());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), NaturalLess));
    EnumeratePorts();
    ASSERT_EQ(static_cast<size_t>(g_PortCount), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(PortName(static_cast<int>(i + 1)), names[i]);
    EXPECT_TRUE(IsCharDevice(g_ComPort));
    EXPECT_FALSE(IsCharDevice("COM231"));
}

TEST_F(ComPortTest, QueryAndReplyCrossTheLine) {
    ASSERT_TRUE(OpenAt(m_Port, m_Slot));
    EXPECT_EQ(m_Port.IsOpen(), 1);
    EXPECT_EQ(m_Port.GetPortId(), m_Slot + 2);
    EXPECT_NE(Ask(m_Port).find(RID_REPLY), std::string::npos);
    // Nothing unsent is left behind: the transmit thread reports idle.
    EXPECT_TRUE(WaitUntil([&] { return m_Port.IsTxDone() == 1; }));
    m_Port.Close();
    EXPECT_EQ(m_Port.IsOpen(), 0);
    EXPECT_FALSE(m_Port.Send(reinterpret_cast<const uint8_t*>("x"), 1));
    const auto logs = LogTexts(m_Channel);
    EXPECT_EQ(logs, (std::vector<std::string>{"begin threads", "close threads", "rx tx threads closed"}));
}

namespace {

// Wine's server enforces sharing modes for files but not for devices: there a second open succeeds.
bool DevicesShareUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

TEST_F(ComPortTest, HeldPortIsReportedLockedUntilFreed) {
    if (DevicesShareUnderWine())
        GTEST_SKIP() << "Wine lets a second handle open a held COM port";
    CChannel otherChannel;
    CSerialPort other(otherChannel);
    ASSERT_TRUE(OpenAt(m_Port, m_Slot));
    EXPECT_FALSE(OpenAt(other, m_Slot));
    std::string error;
    EXPECT_TRUE(other.TakeError(error));
    EXPECT_EQ(error, g_ComPort + " is Locked by Another Device!");
    EXPECT_EQ(other.PortLocked(), 1);
    EXPECT_FALSE(other.TakeError(error)); // handed out once
    m_Port.Close();
    ASSERT_TRUE(OpenAt(other, m_Slot));
    EXPECT_EQ(other.PortLocked(), 0);
    EXPECT_NE(Ask(other).find(RID_REPLY), std::string::npos);
}

TEST_F(ComPortTest, OpenFailuresNameTheEntry) {
    CTestDir dir;
    const std::string file = dir.Write("not-a-port", std::string("text"));
    ASSERT_TRUE(AddPortName("COM231"));
    ASSERT_TRUE(AddPortName(file.c_str()));
    for (const std::string& entry : {std::string("COM231"), file}) {
        SCOPED_TRACE(entry);
        EXPECT_FALSE(OpenAt(m_Port, FindPortName(entry)));
        std::string error;
        EXPECT_TRUE(m_Port.TakeError(error));
        EXPECT_EQ(error, entry + " Serial Port Open Error!");
        EXPECT_EQ(m_Port.PortLocked(), 0);
        EXPECT_EQ(m_Port.IsOpen(), 0);
    }
    // "OFF" opens nothing and succeeds.
    EXPECT_TRUE(OpenAt(m_Port, 0));
    EXPECT_EQ(m_Port.IsOpen(), 0);
}

TEST_F(ComPortTest, SpeedChangeReachesTheLine) {
    ASSERT_TRUE(OpenAt(m_Port, m_Slot));
    ASSERT_NE(Ask(m_Port).find(RID_REPLY), std::string::npos);
    // The receiver stays at 115200 bit/s: at 9600 it hears noise and answers nothing.
    m_Port.SetBaudIndex(5);
    EXPECT_EQ(m_Port.GetBaudIndex(), 5);
    EXPECT_EQ(m_Port.CharTimeMs(10), 10);
    EXPECT_EQ(Ask(m_Port, 1500).find(RID_REPLY), std::string::npos);
    m_Port.SetBaudIndex(9);
    EXPECT_NE(Ask(m_Port).find(RID_REPLY), std::string::npos);
}

TEST_F(ComPortTest, PurgeDropsWhatArrived) {
    ASSERT_TRUE(OpenAt(m_Port, m_Slot));
    ASSERT_TRUE(m_Port.SendString("$PQELQ,RID\r\n"));
    ASSERT_TRUE(m_Port.WaitRx(10000));
    // The reply's bytes follow each other at once; the rest of it is in long before this.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m_Port.Purge();
    uint8_t b = 0;
    EXPECT_FALSE(m_Port.ReadByte(b));
    EXPECT_FALSE(m_Port.WaitRx(300));
}

TEST_F(ComPortTest, CloseEndsBothThreadsWhileTheyWait) {
    // The receive thread waits in its read, the transmit thread in its pass; close wakes both.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(OpenAt(m_Port, m_Slot));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint32_t start = TickMs();
        auto closed = std::async(std::launch::async, [this] { m_Port.Close(); });
        ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "Close hangs";
        std::printf("close took %u ms\n", ElapsedMs(start));
        // The receive thread was woken out of its wait by the abort.
        const auto logs = LogTexts(m_Channel, true);
        EXPECT_NE(std::find(logs.begin(), logs.end(), "1"), logs.end());
    }
}
