#pragma once
// What a COM name leads to, looked at without opening the device: whether it is a communications port at
// all, and the identity of the device behind it, so that a port reopened by its name can be told from
// another device that has since been given that name.

#include <string>

struct PortIdentity {
    std::string target;     // what the name stands for in the system's device namespace
    std::string instanceId; // the port's device instance id, when SetupAPI lists it
    std::string usbSerial;  // the serial number of the USB device it belongs to, when there is one
    bool known = false;

    bool operator==(const PortIdentity& other) const {
        return known == other.known && target == other.target && instanceId == other.instanceId &&
               usbSerial == other.usbSerial;
    }
    bool operator!=(const PortIdentity& other) const { return !(*this == other); }
};

// "\Device\Serial0" or "\Device\VCP0, device FTDIBUS\...\0000, USB serial A50285BI".
std::string PortIdentityText(const PortIdentity& identity);

// True with identity filled when path names a COM port the system knows ("COM5", "\\.\COM12", or a name
// SERIALCOMM lists). False with a sentence naming what path is otherwise (a console or other reserved
// device, a file or folder, a name no device has).
bool LookAtPort(const std::string& path, PortIdentity& identity, std::string& reason);
