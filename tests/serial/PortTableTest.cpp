#include "TestSupport.h"

#include "serial/PortTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A class folder like /sys/class/tty: an entry with a device link is a port; ttyS entries carry a type.
class FakeTtyClass {
public:
    FakeTtyClass() : m_Root(test::TempDir()) {
        fs::create_directories(m_Root + "/class");
        fs::create_directories(m_Root + "/devices/platform");
    }
    ~FakeTtyClass() {
        std::error_code ec;
        fs::remove_all(m_Root, ec);
    }
    void Add(const std::string& name, bool device, int type = -1) {
        const std::string dir = m_Root + "/class/" + name;
        fs::create_directories(dir);
        if (device)
            fs::create_directory_symlink(m_Root + "/devices/platform", dir + "/device");
        if (type >= 0)
            std::ofstream(dir + "/type") << type << "\n";
    }
    // A USB adapter: the tty's device link leads below the USB device folder that holds the descriptor
    // texts; the device node and its by-id link live in the tree's own dev folder.
    void AddUsb(const std::string& name, const std::string& linkDepth, const std::string& product,
                const std::string& maker, const std::string& serial, const std::string& byIdName) {
        const std::string usb = m_Root + "/devices/pci0/usb1/1-2";
        const std::string target = usb + "/1-2:1.0" + linkDepth;
        fs::create_directories(target);
        std::ofstream(usb + "/idVendor") << "0403\n";
        std::ofstream(usb + "/product") << product << "\n";
        std::ofstream(usb + "/manufacturer") << maker << "\n";
        if (!serial.empty())
            std::ofstream(usb + "/serial") << serial << "\n";
        fs::create_directories(m_Root + "/class/" + name);
        fs::create_directory_symlink(target, m_Root + "/class/" + name + "/device");
        fs::create_directories(m_Root + "/dev/serial/by-id");
        std::ofstream(m_Root + "/dev/" + name).put('\0');
        fs::create_symlink("../../" + name, m_Root + "/dev/serial/by-id/" + byIdName);
    }
    std::string ClassDir() const { return m_Root + "/class"; }
    std::string Dev() const { return m_Root + "/dev"; }

private:
    std::string m_Root;
};

std::vector<std::string> Table() {
    std::vector<std::string> names;
    for (int i = 0; i <= g_PortCount; ++i)
        names.push_back(g_PortNames[i]);
    return names;
}

} // namespace

TEST(PortTable, DiscoveryListsDevicesInNaturalOrderWithoutPhantomUarts) {
    FakeTtyClass tty;
    tty.Add("ttyS10", true, 4);
    tty.Add("ttyS2", true, 4);
    tty.Add("ttyS1", true, 0);
    tty.Add("ttyS0", true, 4);
    tty.Add("ttyUSB0", true);
    tty.Add("ttyACM1", true);
    tty.Add("ttyACM0", true);
    tty.Add("tty", false);
    tty.Add("console", false);
    tty.Add("ptmx", false);
    tty.Add("tty3", false);

    EXPECT_EQ(EnumeratePortsIn(tty.ClassDir(), "/dev"), 6);
    EXPECT_EQ(Table(), (std::vector<std::string>{"OFF", "/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0",
                                                 "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
    EXPECT_EQ(PortName(2), "/dev/ttyACM1");
    EXPECT_EQ(FindPortName("/dev/ttyS10"), 5);
    EXPECT_EQ(FindPortName("OFF"), 0);
    EXPECT_EQ(FindPortName("/dev/ttyS1"), -1);

    // A rebuild with fewer ports leaves no stale names behind.
    FakeTtyClass fewer;
    fewer.Add("ttyUSB3", true);
    EXPECT_EQ(EnumeratePortsIn(fewer.ClassDir(), "/dev"), 1);
    EXPECT_EQ(Table(), (std::vector<std::string>{"OFF", "/dev/ttyUSB3"}));
    EXPECT_STREQ(g_PortNames[2], "");
    EXPECT_EQ(PortName(2), "");
    EXPECT_EQ(PortName(-1), "");
    EXPECT_EQ(PortName(255), "");
}

TEST(PortTable, DescriptionsComeFromTheUsbDeviceAndTheByIdLinks) {
    FakeTtyClass tty;
    tty.AddUsb("ttyUSB0", "/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI",
               "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    tty.Add("ttyS0", true, 4);
    const std::string byId = tty.Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    struct Case {
        std::string path;
        std::string text;
    } cases[] = {
        {tty.Dev() + "/ttyUSB0", "FT232R USB UART, FTDI, serial A50285BI, " + byId},
        // Chosen by its by-id name: the same device, without repeating the name.
        {byId, "FT232R USB UART, FTDI, serial A50285BI"},
        {tty.Dev() + "/ttyS0", ""},
        {"/dev/pts/999", ""},
    };
    for (const Case& c : cases) {
        const PortDescription d = DescribePortIn(c.path, tty.ClassDir(), tty.Dev() + "/serial/by-id");
        EXPECT_EQ(PortDescriptionText(c.path, d), c.text) << c.path;
    }

    // An ACM modem's link leads to the interface itself; a device without a serial leaves it out.
    FakeTtyClass acm;
    acm.AddUsb("ttyACM0", "", "GNSS receiver", "Kestrin", "", "usb-Kestrin_GNSS_receiver-if00");
    const std::string path = acm.Dev() + "/ttyACM0";
    const PortDescription d = DescribePortIn(path, acm.ClassDir(), acm.Dev() + "/serial/by-id");
    EXPECT_EQ(d.product, "GNSS receiver");
    EXPECT_EQ(d.manufacturer, "Kestrin");
    EXPECT_EQ(d.serial, "");
    EXPECT_EQ(d.byId, acm.Dev() + "/serial/by-id/usb-Kestrin_GNSS_receiver-if00");
}

TEST(PortTable, NoPortsLeavesOnlyOff) {
    FakeTtyClass tty;
    tty.Add("tty", false);
    EXPECT_EQ(EnumeratePortsIn(tty.ClassDir(), "/dev"), 0);
    EXPECT_EQ(Table(), std::vector<std::string>{"OFF"});
    EXPECT_EQ(EnumeratePortsIn("/no/such/folder", "/dev"), 0);
    EXPECT_EQ(Table(), std::vector<std::string>{"OFF"});
}

TEST(PortTable, SystemDiscoveryGivesDevicePaths) {
    EnumeratePorts();
    EXPECT_STREQ(g_PortNames[0], "OFF");
    EXPECT_LE(g_PortCount, PORT_SLOTS - 1);
    for (int i = 1; i <= g_PortCount; ++i) {
        EXPECT_EQ(std::string(g_PortNames[i]).rfind("/dev/tty", 0), 0u) << g_PortNames[i];
        if (i > 1) {
            EXPECT_TRUE(NaturalLess(g_PortNames[i - 1], g_PortNames[i]));
        }
    }
}

TEST(PortTable, AppendIsRefusedWhenFullOrUnfit) {
    FakeTtyClass tty;
    for (int i = 0; i < 300; ++i)
        tty.Add("ttyX" + std::to_string(i), true);
    EXPECT_EQ(EnumeratePortsIn(tty.ClassDir(), "/dev"), 254);
    EXPECT_STREQ(g_PortNames[254], "/dev/ttyX253");
    EXPECT_FALSE(AddPortName("/dev/pts/9"));
    EXPECT_EQ(g_PortCount, 254);

    test::ResetPortTable();
    EXPECT_FALSE(AddPortName(nullptr));
    EXPECT_FALSE(AddPortName(""));
    EXPECT_FALSE(AddPortName(std::string(256, 'a').c_str()));
    const std::string longest = "/" + std::string(254, 'b');
    EXPECT_TRUE(AddPortName(longest.c_str()));
    EXPECT_EQ(PortName(1), longest);
    for (int i = 2; i <= 254; ++i)
        ASSERT_TRUE(AddPortName(("/dev/pts/" + std::to_string(i)).c_str()));
    EXPECT_EQ(g_PortCount, 254);
    EXPECT_FALSE(AddPortName("/dev/pts/999"));
    EXPECT_STREQ(g_PortNames[0], "OFF");
}

TEST(PortTable, NaturalOrderAndCharDevices) {
    EXPECT_TRUE(NaturalLess("ttyS2", "ttyS10"));
    EXPECT_FALSE(NaturalLess("ttyS10", "ttyS2"));
    EXPECT_TRUE(NaturalLess("ttyACM9", "ttyS0"));
    EXPECT_TRUE(NaturalLess("ttyS0", "ttyUSB0"));
    EXPECT_TRUE(NaturalLess("ttyS", "ttyS0"));
    EXPECT_TRUE(NaturalLess("ttyS1", "ttyS01"));
    EXPECT_FALSE(NaturalLess("ttyS1", "ttyS1"));
    EXPECT_TRUE(NaturalLess("ttyUSB99999999999999999999", "ttyUSB100000000000000000000"));

    EXPECT_TRUE(IsCharDevice("/dev/null"));
    EXPECT_FALSE(IsCharDevice("/no/such/device"));
    const std::string dir = test::TempDir();
    const std::string file = dir + "/plain";
    std::ofstream(file) << "x";
    EXPECT_FALSE(IsCharDevice(file));
    test::CPty pty;
    ASSERT_TRUE(pty.Ok());
    const std::string link = dir + "/by-id-link";
    fs::create_symlink(pty.SlavePath(), link);
    EXPECT_TRUE(IsCharDevice(link));
    fs::remove_all(dir);
}
