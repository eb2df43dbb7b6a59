#include "PortIdentity.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Unix 98 pseudo-terminal slaves take these majors; the multiplexer and the terminal aliases live on 5.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;
constexpr unsigned TTYAUX_MAJOR = 5;
constexpr unsigned TTY_ALIAS_MINOR = 0; // /dev/tty
constexpr unsigned CONSOLE_MINOR = 1;   // /dev/console
constexpr unsigned PTMX_MINOR = 2;      // /dev/ptmx
// Levels from a tty's device folder up to the USB device that carries the serial number.
constexpr int USB_SEARCH_DEPTH = 6;

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string DeviceNumberText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The controlling terminal's device number from /proc (0 when there is none): found without opening
// /dev/tty, which would be the very thing this guards against.
dev_t ControllingTerminal() {
    const std::string stat = ReadLine("/proc/self/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    // After the command name: state, ppid, pgrp, session, tty_nr.
    char state = 0;
    int ppid = 0, pgrp = 0, session = 0, tty = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d %d %d", &state, &ppid, &pgrp, &session, &tty) != 5)
        return 0;
    const unsigned number = static_cast<unsigned>(tty);
    return makedev((number >> 8) & 0xFFFu, (number & 0xFFu) | ((number >> 12) & 0xFFF00u));
}

// The terminal a standard stream is connected to, as the user runs the program in it.
bool IsOwnTerminal(dev_t device) {
    if (device == ControllingTerminal())
        return true;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat st {};
        if (isatty(fd) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device)
            return true;
    }
    return false;
}

const char* KindOf(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a device";
}

} // namespace

std::string PortIdentityText(const PortIdentity& identity) {
    if (!identity.known)
        return "unknown device";
    if (identity.sysfsPath.empty())
        return "pseudo-terminal " + DeviceNumberText(identity.device);
    std::string text = identity.sysfsPath;
    if (!identity.usbSerial.empty())
        text += ", USB serial " + identity.usbSerial;
    return text;
}

bool LookAtPort(const std::string& path, const struct stat& st, PortIdentity& identity, std::string& reason) {
    identity = PortIdentity{};
    if (!S_ISCHR(st.st_mode)) {
        reason = path + " is not a serial port (" + KindOf(st.st_mode) + ").";
        return false;
    }
    const dev_t device = st.st_rdev;
    const unsigned maj = major(device);
    if (maj == TTYAUX_MAJOR && minor(device) == PTMX_MINOR) {
        reason = path + " is not a serial port (it is the pseudo-terminal multiplexer).";
        return false;
    }
    if (maj == TTYAUX_MAJOR && minor(device) == CONSOLE_MINOR) {
        reason = path + " is not a serial port (it is the system console).";
        return false;
    }
    if ((maj == TTYAUX_MAJOR && minor(device) == TTY_ALIAS_MINOR) || IsOwnTerminal(device)) {
        reason = path + " is the terminal this program runs in, not a serial port.";
        return false;
    }
    identity.device = device;
    if (maj >= PTY_SLAVE_MAJOR_FIRST && maj <= PTY_SLAVE_MAJOR_LAST) {
        identity.known = true;
        return true;
    }
    // A serial line is a member of the tty class that has a device behind it; consoles and other terminal
    // lines have none, and other character devices are in another class.
    const std::string sys = "/sys/dev/char/" + DeviceNumberText(device);
    const std::string subsystem = RealPath(sys + "/subsystem");
    const std::string deviceDir = RealPath(sys + "/device");
    if (subsystem.size() < 4 || subsystem.compare(subsystem.size() - 4, 4, "/tty") != 0 ||
        deviceDir.empty()) {
        reason = path + " is not a serial port (character device " + DeviceNumberText(device) +
                 (subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0
                      ? " is a terminal without a serial device)."
                      : " is not a terminal line).");
        return false;
    }
    identity.sysfsPath = RealPath(sys);
    std::string dir = deviceDir;
    for (int level = 0; !dir.empty() && level < USB_SEARCH_DEPTH; ++level) {
        if (access((dir + "/idVendor").c_str(), F_OK) == 0) {
            identity.usbSerial = ReadLine(dir + "/serial");
            break;
        }
        const size_t slash = dir.rfind('/');
        dir = slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash);
    }
    identity.known = true;
    return true;
}

bool LookAtPort(const std::string& path, PortIdentity& identity, std::string& reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        identity = PortIdentity{};
        reason = path + ": " + std::strerror(errno) + ".";
        return false;
    }
    return LookAtPort(path, st, identity, reason);
}
