// The dialog core's platform parts on Windows: the log file, and no group rights to explain for a port
// (Windows tells why a COM port cannot be opened when it is opened).

#include "DialogPlatform.h"
#include "PortAccess.h"

#include "core/Channel.h"
#include "serial/SerialPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

bool RefusePort(const std::string&, std::string&) {
    // Windows names its ports COMn; a name that is no port is simply not found.
    return false;
}

std::string PortOpenFault(CSerialPort& port) {
    return port.PortLocked() == 1 ? "the port is held by another program" : std::string();
}
