// Port discovery and the port table, and the port worker that keeps the chosen port open.

#include "Pty.h"
#include "TestDir.h"
#include "serial/PortTable.h"
#include "serial/PortWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(PortTable, DiscoveryInNaturalOrderWithoutPhantomUartsAndItsLimits) {
    // A class folder like /sys/class/tty: an entry with a device link is a port; ttyS entries carry a type.
    const CTestDir dir; // gone with the test, also when an assertion ends it
    const fs::path root = dir.Path();
    fs::create_directories(root / "devices");
    const auto add = [&](const std::string& name, int type = -1, bool device = true) {
        fs::create_directories(root / "class" / name);
        if (device)
            fs::create_directory_symlink(root / "devices", root / "class" / name / "device");
        if (type >= 0)
            std::ofstream(root / "class" / name / "type") << type << "\n";
    };
    for (const char* name : {"ttyS10", "ttyS2", "ttyS0"})
        add(name, 4);
    add("ttyS1", 0); // legacy UART of unknown type
    add("ttyS77");   // a type that cannot be read (no attribute, no device to ask) is no proof of a phantom
    add("ttyUSB0");
    add("ttyACM1");
    add("ttyACM0");
    add("console", -1, false);
    // A device path that fills the name field to its last byte is left out rather than cut.
    const std::string fits = "ttyZ" + std::string(PORT_NAME_CHARS - 10, 'z'), tooLong = fits + "z";
    add(fits);
    add(tooLong);
    EXPECT_EQ(EnumeratePortsIn((root / "class").string(), "/dev"), 8);
    std::vector<std::string> table;
    for (int i = 0; i <= g_PortCount + 1; ++i)
        table.push_back(PortName(i));
    EXPECT_EQ(table,
              (std::vector<std::string>{"OFF", "/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyS2",
                                        "/dev/ttyS10", "/dev/ttyS77", "/dev/ttyUSB0", "/dev/" + fits, ""}));
    // At most 254 names after "OFF"; appending is refused when full, empty or too long.
    for (int i = 0; i < 260; ++i)
        add("ttyX" + std::to_string(i));
    EXPECT_EQ(EnumeratePortsIn((root / "class").string(), "/dev"), 254);
    EXPECT_FALSE(AddPortName("/dev/pts/9"));
    EnumeratePortsIn("/nonexistent", "/dev");
    EXPECT_EQ(PortName(1), "");
    EXPECT_FALSE(AddPortName(""));
    EXPECT_FALSE(AddPortName(std::string(256, 'a').c_str()));
    EXPECT_TRUE(AddPortName(std::string(255, 'b').c_str()));
    // A by-id link to a terminal is a character device; a plain file is not.
    test::CPty pty;
    fs::create_symlink(pty.Path(), root / "by-id");
    EXPECT_TRUE(IsCharDevice((root / "by-id").string()));
    EXPECT_FALSE(IsCharDevice((root / "class" / "ttyS1" / "type").string()));
}

TEST(PortTable, DescriptionsComeFromTheUsbDeviceAndTheByIdLinks) {
    // A USB adapter: the tty's device link leads below the USB device folder that holds the descriptor texts;
    // the device node and its by-id link live in the tree's own dev folder.
    const CTestDir dir;
    const fs::path root = dir.Path();
    const auto addUsb = [&](const std::string& name, const std::string& depth, const std::string& product,
                            const std::string& maker, const std::string& serial, const std::string& byId) {
        const fs::path usb = root / name / "devices/usb1/1-2";
        fs::create_directories(usb / ("1-2:1.0" + depth));
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "product") << product << "\n";
        std::ofstream(usb / "manufacturer") << maker << "\n";
        if (!serial.empty())
            std::ofstream(usb / "serial") << serial << "\n";
        fs::create_directories(root / name / "class" / name);
        fs::create_directory_symlink(usb / ("1-2:1.0" + depth), root / name / "class" / name / "device");
        fs::create_directories(root / name / "dev/serial/by-id");
        std::ofstream(root / name / "dev" / name).put('\0');
        fs::create_symlink("../../" + name, root / name / "dev/serial/by-id" / byId);
        return (root / name).string();
    };
    const std::string usb = addUsb("ttyUSB0", "/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI",
                                   "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    const std::string byId = usb + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    // An ACM modem's link leads to the interface itself; a device without a serial leaves it out.
    const std::string acm = addUsb("ttyACM0", "", "GNSS receiver", "Kestrin", "", "usb-Kestrin_GNSS-if00");
    const struct {
        std::string tree, path, text;
    } cases[] = {
        {usb, usb + "/dev/ttyUSB0", "FT232R USB UART, FTDI, serial A50285BI, " + byId},
        {usb, byId, "FT232R USB UART, FTDI, serial A50285BI"}, // chosen by its by-id name
        {usb, "/dev/pts/999", ""},
        {acm, acm + "/dev/ttyACM0",
         "GNSS receiver, Kestrin, " + acm + "/dev/serial/by-id/usb-Kestrin_GNSS-if00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const PortDescription d = DescribePortIn(c.path, c.tree + "/class", c.tree + "/dev/serial/by-id");
        EXPECT_EQ(PortDescriptionText(c.path, d), c.text);
    }
}

namespace {

class PortWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnumeratePortsIn("/nonexistent", "/dev");
        ASSERT_TRUE(AddPortName(m_A.Path().c_str()));
        ASSERT_TRUE(AddPortName(m_B.Path().c_str()));
        m_Identified.Set(1);
    }
    bool OpenOn(int slot) {
        return test::WaitUntil(
            [&] { return m_Worker.m_Port->IsOpen() && m_Worker.m_Port->GetPortId() == slot + 2; });
    }
    // Another port can open the slot: nobody holds it.
    static bool Free(int slot) {
        CChannel channel;
        CSerialPort other(channel);
        other.SetPortIndex(static_cast<uint8_t>(slot));
        return other.Open();
    }

    test::CPty m_A, m_B;
    CChannel m_Channel;
    LockedInt m_Identified{0};
    CPortWorker m_Worker{m_Channel, m_Identified};
};

} // namespace

TEST_F(PortWorkerTest, OpensAt115200SwitchesAndClosesOnOff) {
    m_Worker.m_SerialPort.SetBaudSetting(4);
    m_Worker.RequestPort(1);
    m_Worker.Start();
    ASSERT_TRUE(OpenOn(1));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Get() == 1; }));
    EXPECT_EQ(m_Identified.Get(), 0);
    EXPECT_EQ(m_Worker.m_SerialPort.m_SavedBaud.load(), 4); // the index in force before the attempt
    const termios tio = m_A.Line();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CSIZE), static_cast<tcflag_t>(CS8));

    m_Identified.Set(1);
    m_Worker.RequestPort(2);
    ASSERT_TRUE(OpenOn(2));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Identified.Get() == 0; }));
    EXPECT_TRUE(Free(1));              // the first port was given back
    for (int request : {0, 257, -5}) { // "OFF", and requests outside the table (257 must not wrap to 1)
        m_Worker.RequestPort(request);
        ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_Port->IsOpen() == 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0) << request;
    }
    EXPECT_TRUE(Free(1));
    m_Worker.Join();
}

TEST_F(PortWorkerTest, HeldPortIsRetriedQuietlyUntilItIsFree) {
    CChannel channel;
    CSerialPort holder(channel);
    holder.SetPortIndex(1);
    ASSERT_TRUE(holder.Open());
    m_Worker.RequestPort(1);
    m_Worker.Start();
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_SerialPort.PortLocked() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    std::string text;
    EXPECT_FALSE(m_Worker.m_SerialPort.TakeError(text)); // taken and dropped by the worker
    holder.Close();
    ASSERT_TRUE(OpenOn(1));
    EXPECT_EQ(m_Worker.m_SerialPort.PortLocked(), 0);
    EXPECT_EQ(test::LogTexts(m_Channel), std::vector<std::string>{"begin threads"});
    m_Worker.Join();
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
}

TEST_F(PortWorkerTest, VanishedDeviceIsClosedAndAnotherUnderItsNameIsRefused) {
    const fs::path link = fs::temp_directory_path() / ("kv-by-id-" + std::to_string(getpid()));
    fs::create_symlink(m_A.Path(), link);
    ASSERT_TRUE(AddPortName(link.c_str()));
    m_Worker.m_PassWaitMs = m_Worker.m_RetryWaitMs = 20;
    std::thread loop([&] { m_Worker.SuperviseLoop(); });
    m_Worker.RequestPort(3);
    ASSERT_TRUE(OpenOn(3));
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Get() == 1; }));
    // Made while the first terminal lives, so it has another device number.
    test::CPty other;
    const termios before = other.Line();
    // The device and its link go away: the worker notices on its own and closes the port.
    fs::remove(link);
    m_A.CloseMaster();
    ASSERT_TRUE(test::WaitUntil([&] { return m_Worker.m_Port->IsOpen() == 0; }));
    // The name comes back leading to another device: refused, said once, neither set up nor written to.
    fs::create_symlink(other.Path(), link);
    std::vector<std::string> logged;
    const auto refusals = [&] {
        for (const std::string& text : test::LogTexts(m_Channel))
            logged.push_back(text);
        return std::count_if(logged.begin(), logged.end(), [](const std::string& text) {
            return text.find(" now leads to another device (pseudo-terminal ") != std::string::npos;
        });
    };
    ASSERT_TRUE(test::WaitUntil([&] { return refusals() == 1; }));
    // Many retries later it is still refused and was said only once.
    const uint32_t passes = TickMs();
    test::WaitUntil([&] { return ElapsedMs(passes) > 300; });
    EXPECT_EQ(refusals(), 1);
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    EXPECT_EQ(m_Worker.m_PortOpened.Changed(), 0);
    EXPECT_EQ(other.Read(1, 100), "");
    const termios after = other.Line();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    // Told to take what the name leads to now, it opens the new device.
    m_Worker.ForgetDevice();
    ASSERT_TRUE(OpenOn(3));
    EXPECT_TRUE(test::WaitUntil([&] { return m_Worker.m_PortOpened.Get() == 1; }));
    ASSERT_TRUE(m_Worker.m_Port->SendString("again"));
    EXPECT_EQ(other.Read(5), "again");
    // The stop ends the loop and closes the port.
    m_Channel.RequestStop();
    m_Worker.m_WakeEvent.Pulse();
    loop.join();
    EXPECT_EQ(m_Worker.m_Port->IsOpen(), 0);
    fs::remove(link);
}
