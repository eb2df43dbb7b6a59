#pragma once
// The table of port names: slot 0 is "OFF", slots 1..g_PortCount hold device paths in discovery order. The
// index of a port everywhere (dialog list, port request, the serial port's portIndex) is its slot number.
//
// The dialog thread rebuilds and appends; the port worker reads a slot while it opens. Writers take the
// table lock, and every reader on another thread goes through PortName, which copies under that lock. The
// dialog thread, the only writer, may read g_PortNames and g_PortCount directly.

#include <cstdint>
#include <string>
#include <vector>

constexpr int PORT_SLOTS = 255;
// Paths up to 255 characters and a terminator.
constexpr int PORT_NAME_CHARS = 256;

extern char g_PortNames[PORT_SLOTS][PORT_NAME_CHARS];
extern uint8_t g_PortCount;

// Rebuilds the table from /sys/class/tty: every entry with a device link, as /dev/<name>, in natural order;
// legacy ttyS ports whose UART type is unknown are left out. At most 254 names after "OFF".
void EnumeratePorts();
// The names discovery would put into the table now, without touching it.
std::vector<std::string> SystemPortNames();
// The same from another class folder and device folder (a prepared tree); returns g_PortCount.
int EnumeratePortsIn(const std::string& classDir, const std::string& devDir);
// Replaces slots 1.. with names in their order (at most 254; empty or too long ones are left out); returns
// g_PortCount. Every platform's discovery ends here.
int SetPortNames(const std::vector<std::string>& names);
// Appends one name. Refused (false) when all 255 slots are used or the text is empty or too long.
bool AddPortName(const char* text);
// Puts another name into filled slot index (1..g_PortCount), for a table that is reused when it is full.
// Refused (false) for slot 0, a slot not filled, an empty text or one too long.
bool SetPortName(int index, const char* text);
// A copy of slot index; "" for a slot that is not filled.
std::string PortName(int index);
// The slot holding exactly this name, or -1.
int FindPortName(const std::string& name);
// True when path names an existing character device (after following links): such a port may be added to
// the table although discovery did not list it.
bool IsCharDevice(const std::string& path);
// "ttyS2" before "ttyS10": digit runs compare by value.
bool NaturalLess(const std::string& a, const std::string& b);

// What the system knows of a port's device; an empty field is not known. USB adapters carry the first
// three in their device descriptor; byId is the /dev/serial/by-id link that leads to the device.
struct PortDescription {
    std::string product;
    std::string manufacturer;
    std::string serial;
    std::string byId;
};

// Reads /sys/class/tty and /dev/serial/by-id (plain file reads, nothing is opened on the device). path is
// the device or any link to it, such as its by-id name.
PortDescription DescribePort(const std::string& path);
// The same from a prepared class folder and by-id folder.
PortDescription DescribePortIn(const std::string& path, const std::string& classDir,
                               const std::string& byIdDir);
// "FT232R USB UART, FTDI, serial A50285BI, /dev/serial/by-id/usb-FTDI_..." for the port at path (its by-id
// name is left out when path is that name); "" when nothing is known.
std::string PortDescriptionText(const std::string& path, const PortDescription& description);
