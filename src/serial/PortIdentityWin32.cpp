// A COM name looked at before it is opened: the system's device namespace says what the name stands for,
// SetupAPI which device (and which USB device) carries the port.

#include "serial/PortIdentity.h"

#include "core/Platform.h"
#include "serial/PortTable.h"

#include <algorithm>
#include <cctype>
#include <windows.h>
// After windows.h, which the SetupAPI headers need; initguid makes devguid define the class GUID here.
#include <cfgmgr32.h>
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

namespace {

constexpr char DEVICE_NAMESPACE[] = "\\\\.\\";
constexpr size_t INSTANCE_ID_CHARS = 512;

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "COM" followed by a port number, as the serial drivers name their ports.
bool IsComName(const std::string& upper) {
    return upper.size() > 3 && upper.size() <= 6 && upper.compare(0, 3, "COM") == 0 &&
           upper.find_first_not_of("0123456789", 3) == std::string::npos && upper[3] != '0';
}

// The names every folder holds: the console and the other legacy devices.
const char* ReservedKind(const std::string& upper) {
    if (upper == "CON" || upper == "CONIN$" || upper == "CONOUT$")
        return "it is the console";
    if (upper == "NUL")
        return "it is the null device";
    if (upper == "PRN" || upper == "AUX" || upper == "CLOCK$" ||
        (upper.size() == 4 && upper.compare(0, 3, "LPT") == 0 &&
         std::isdigit(static_cast<unsigned char>(upper[3]))))
        return "it is a reserved device name";
    return nullptr;
}

// A USB device's instance id ends in its serial number ("USB\VID_0403&PID_6001\A50285BI"; FTDI's own bus
// puts it after the product: "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"); a generated one holds '&'.
std::string SerialOfInstance(const std::string& instance) {
    const std::string upper = Upper(instance);
    if (upper.rfind("USB\\", 0) == 0) {
        const size_t slash = instance.rfind('\\');
        const std::string serial = slash == std::string::npos ? std::string() : instance.substr(slash + 1);
        return serial.find('&') == std::string::npos ? serial : std::string();
    }
    if (upper.rfind("FTDIBUS\\", 0) == 0) {
        const size_t plus = instance.rfind('+');
        const size_t slash = instance.rfind('\\');
        if (plus != std::string::npos && slash != std::string::npos && slash > plus + 1)
            return instance.substr(plus + 1, slash - plus - 1);
    }
    return {};
}

// The Ports-class device whose PortName is name: its instance id and the USB serial of it or its parent.
void FindDevice(const std::string& upperName, PortIdentity& identity) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char portName[PORT_NAME_CHARS] = {};
        DWORD size = sizeof portName - 1;
        DWORD type = 0;
        const bool named = RegQueryValueExA(key, "PortName", nullptr, &type,
                                            reinterpret_cast<BYTE*>(portName), &size) == ERROR_SUCCESS &&
                           type == REG_SZ;
        RegCloseKey(key);
        if (!named || Upper(portName) != upperName)
            continue;
        char instance[INSTANCE_ID_CHARS] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr))
            identity.instanceId = instance;
        identity.usbSerial = SerialOfInstance(identity.instanceId);
        DEVINST parent = 0;
        char parentId[INSTANCE_ID_CHARS] = {};
        if (identity.usbSerial.empty() && CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS &&
            CM_Get_Device_IDA(parent, parentId, sizeof parentId, 0) == CR_SUCCESS)
            identity.usbSerial = SerialOfInstance(parentId);
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

std::string PortIdentityText(const PortIdentity& identity) {
    if (!identity.known)
        return "unknown device";
    std::string text = identity.target.empty() ? std::string("no device target") : identity.target;
    if (!identity.instanceId.empty())
        text += ", device " + identity.instanceId;
    if (!identity.usbSerial.empty())
        text += ", USB serial " + identity.usbSerial;
    return text;
}

bool LookAtPort(const std::string& path, PortIdentity& identity, std::string& reason) {
    identity = PortIdentity{};
    const bool spaced = path.rfind(DEVICE_NAMESPACE, 0) == 0;
    const std::string name = spaced ? path.substr(sizeof DEVICE_NAMESPACE - 1) : path;
    const std::string upper = Upper(name);
    if (const char* kind = ReservedKind(upper)) {
        reason = path + " is not a serial port (" + kind + ").";
        return false;
    }
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        reason = path + " is not a serial port (" +
                 (attributes == INVALID_FILE_ATTRIBUTES          ? std::string("not a device name")
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? std::string("a directory")
                                                                 : std::string("a file")) +
                 ").";
        return false;
    }
    // What the name stands for: a name no device has is refused with the system's reason.
    char targets[1024] = {};
    if (QueryDosDeviceA(name.c_str(), targets, sizeof targets - 1) == 0) {
        reason = path + ": " + SystemErrorText(static_cast<int>(GetLastError())) + ".";
        return false;
    }
    if (!IsComName(upper)) {
        const std::vector<std::string> listed = SystemPortNames();
        if (std::none_of(listed.begin(), listed.end(),
                         [&](const std::string& n) { return Upper(n) == upper; })) {
            reason = path + " is not a serial port (the device " + targets + " is no COM port).";
            return false;
        }
    }
    identity.target = targets;
    FindDevice(upper, identity);
    identity.known = true;
    return true;
}
