// The dialog core's platform parts on Windows: the log file, and no group rights to explain for a port
// (Windows tells why a COM port cannot be opened when it is opened).

#include "DialogPlatform.h"
#include "PortAccess.h"

#include "core/Channel.h"
#include "serial/PortIdentity.h"
#include "serial/SerialPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <windows.h>

bool CreateEmptyFile(const std::string& path, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

std::string PortPermissionNotice(const std::string&) {
    return {};
}

bool TellPortPermission(CChannel&, const std::string&) {
    return false;
}

bool RefusePort(const std::string& path, std::string& refusal) {
    // A name that leads nowhere is left to the port's own open, which says it is not there.
    const std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    char target[1024];
    const bool exists = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
                        QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
    PortIdentity identity;
    return exists && !LookAtPort(path, identity, refusal);
}

std::string PortOpenFault(CSerialPort& port) {
    return port.LastOpenFault() != CSerialPort::OpenFault::NONE ? port.OpenFaultText() : std::string();
}
