// The dialog core's platform parts on POSIX systems: the log file made without blocking, and why a port
// cannot be opened by this user.

#include "DialogPlatform.h"
#include "PortAccess.h"

#include "core/Channel.h"
#include "serial/PortIdentity.h"
#include "serial/SerialPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string PortPermissionNotice(const std::string& path) {
    // A test of the rights only: opening the device here would toggle its modem lines.
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
        return {};
    if (errno != EACCES && errno != EPERM)
        return {};
    std::string group;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        std::vector<char> buffer(4096);
        struct group* found = nullptr;
        struct group entry {};
        if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            entry.gr_name)
            group = entry.gr_name;
    }
    std::string text =
        "Permission denied: " + path + " cannot be opened for reading and writing by this user.";
    if (!group.empty() && group != "root")
        text += " Add the user to the group \"" + group + "\" that owns the device (sudo usermod -aG " +
                group + " $USER) and log in again.";
    else
        text += " Give the user read and write access to the device (usually through membership of the group "
                "that owns it, such as \"dialout\") and log in again.";
    return text;
}

bool TellPortPermission(CChannel& channel, const std::string& path) {
    const std::string notice = PortPermissionNotice(path);
    if (notice.empty())
        return false;
    channel.Log(notice);
    channel.PushStatus(notice);
    return true;
}

bool CreateEmptyFile(const std::string& path, std::string& error) {
    // Not blocking: a pipe that nobody reads is refused rather than waited for.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool RefusePort(const std::string& path, std::string& refusal) {
    PortIdentity identity;
    return access(path.c_str(), F_OK) == 0 && !LookAtPort(path, identity, refusal);
}

std::string PortOpenFault(CSerialPort& port) {
    return port.LastOpenFault() != CSerialPort::OpenFault::NONE ? port.OpenFaultText() : std::string();
}
