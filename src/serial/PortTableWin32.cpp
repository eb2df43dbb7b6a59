// Port discovery on Windows: the COM names the system lists under HARDWARE\DEVICEMAP\SERIALCOMM, described
// by what SetupAPI knows of the device behind each (friendly name, maker, USB serial number).

#include "PortTable.h"

#include <algorithm>
#include <cctype>
#include <windows.h>
// After windows.h, which the SetupAPI headers need; initguid makes devguid define the class GUID here.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

namespace {

constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SerialCommNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        char value[256];
        DWORD valueSize = sizeof value;
        char data[PORT_NAME_CHARS] = {};
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, i, value, &valueSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        // A value too long for the name field is left out, as on every platform.
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[std::min<DWORD>(dataSize, sizeof data - 1)] = '\0';
        const std::string name = data;
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char text[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 1, nullptr) ||
        type != REG_SZ)
        return {};
    return text;
}

// A USB device's instance id ends in its serial number ("USB\VID_0403&PID_6001\A50285BI"); a generated one
// (without a serial in the descriptor) holds '&' characters.
std::string SerialOfInstance(const std::string& instance) {
    if (instance.rfind("USB\\", 0) != 0 && instance.rfind("FTDIBUS\\", 0) != 0)
        return {};
    const size_t slash = instance.rfind('\\');
    if (slash == std::string::npos || slash + 1 >= instance.size())
        return {};
    const std::string serial = instance.substr(slash + 1);
    return serial.find('&') == std::string::npos ? serial : std::string();
}

} // namespace

// The COM names the system lists now, in natural order ("COM2" before "COM10").
std::vector<std::string> SystemPortNames() {
    return SerialCommNames();
}

void EnumeratePorts() {
    SetPortNames(SerialCommNames());
}

bool IsCharDevice(const std::string& path) {
    // A communications device the system knows under that name, listed or not (a port of a driver that
    // does not enter itself into SERIALCOMM).
    const std::string name = Upper(path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path);
    for (const std::string& listed : SerialCommNames())
        if (Upper(listed) == name)
            return true;
    char target[1024];
    return name.rfind("COM", 0) == 0 && QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

PortDescription DescribePort(const std::string& path) {
    PortDescription description;
    const std::string wanted = Upper(path);
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return description;
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
        if (!named || Upper(portName) != wanted)
            continue;
        description.product = DeviceText(set, device, SPDRP_FRIENDLYNAME);
        if (description.product.empty())
            description.product = DeviceText(set, device, SPDRP_DEVICEDESC);
        description.manufacturer = DeviceText(set, device, SPDRP_MFG);
        char instance[512] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr))
            description.serial = SerialOfInstance(instance);
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return description;
}
