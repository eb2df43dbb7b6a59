#pragma once
// What a port path leads to, looked at without opening the device for reading and writing: whether it may
// be used as a serial port at all, and the identity of the device behind it, so that a port reopened by its
// name can be told from another device that has since been given that name.

#include <string>
#include <sys/types.h>

struct PortIdentity {
    dev_t device = 0;      // the device number
    std::string sysfsPath; // the device's folder in sysfs; empty for a pseudo-terminal
    std::string usbSerial; // the serial number of the USB device it belongs to, when there is one
    bool known = false;

    bool operator==(const PortIdentity& other) const {
        return known == other.known && device == other.device && sysfsPath == other.sysfsPath &&
               usbSerial == other.usbSerial;
    }
    bool operator!=(const PortIdentity& other) const { return !(*this == other); }
};

// "pseudo-terminal 136:4" or "/sys/devices/.../ttyUSB0, USB serial A50285BI".
std::string PortIdentityText(const PortIdentity& identity);

// Looks at the file st describes (stat of the port path, links followed). True with identity filled when it
// is a serial device: a terminal line with a device in sysfs, or a pseudo-terminal slave. False with a
// sentence naming what path is otherwise (a regular file, a device that is no terminal line, the
// pseudo-terminal multiplexer, this program's own terminal).
bool LookAtPort(const std::string& path, const struct stat& st, PortIdentity& identity, std::string& reason);
// The same by path; a path that cannot be looked at is refused with the system's reason.
bool LookAtPort(const std::string& path, PortIdentity& identity, std::string& reason);
