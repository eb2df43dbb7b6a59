#include "PortTable.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// -1 when the type cannot be read.
int ReadUartTypeFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    int type = -1;
    if (std::fscanf(f, "%d", &type) != 1)
        type = -1;
    std::fclose(f);
    return type;
}

int ReadUartTypeIoctl(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    serial_struct info{};
    const int type = ioctl(fd, TIOCGSERIAL, &info) == 0 ? info.type : -1;
    close(fd);
    return type;
}

// Legacy 8250 slots exist whether or not a UART sits behind them; the driver reports those as unknown.
bool IsPhantomUart(const std::string& classDir, const std::string& name, const std::string& device) {
    if (name.rfind("ttyS", 0) != 0)
        return false;
    // The sysfs attribute avoids opening the port (which would raise DTR); older kernels need the ioctl.
    int type = ReadUartTypeFile(classDir + "/" + name + "/type");
    if (type < 0)
        type = ReadUartTypeIoctl(device);
    return type == PORT_UNKNOWN;
}

// The folder or file that path finally names; "" when it does not exist.
std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The first line of a sysfs attribute without its line end; "" when it cannot be read.
std::string ReadAttribute(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return {};
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read)
        return {};
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A USB serial port's device link leads to its interface (ttyACM) or below it (ttyUSB); the descriptor's
// texts sit a few folders up, beside idVendor.
constexpr int USB_DEVICE_SEARCH_DEPTH = 4;

} // namespace

namespace {

std::vector<std::string> PortPathsIn(const std::string& classDir, const std::string& devDir) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(classDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (!Exists(classDir + "/" + name + "/device"))
                continue;
            const std::string device = devDir + "/" + name;
            if (device.size() >= PORT_NAME_CHARS)
                continue;
            if (IsPhantomUart(classDir, name, device))
                continue;
            names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    if (names.size() > PORT_SLOTS - 1)
        names.resize(PORT_SLOTS - 1);

    std::vector<std::string> paths;
    for (const std::string& name : names)
        paths.push_back(devDir + "/" + name);
    return paths;
}

} // namespace

int EnumeratePortsIn(const std::string& classDir, const std::string& devDir) {
    return SetPortNames(PortPathsIn(classDir, devDir));
}

std::vector<std::string> SystemPortNames() {
    return PortPathsIn("/sys/class/tty", "/dev");
}

void EnumeratePorts() {
    SetPortNames(SystemPortNames());
}

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

PortDescription DescribePortIn(const std::string& path, const std::string& classDir,
                               const std::string& byIdDir) {
    PortDescription description;
    const std::string device = RealPath(path);
    const std::string name = BaseName(device.empty() ? path : device);

    std::string dir = RealPath(classDir + "/" + name + "/device");
    for (int level = 0; !dir.empty() && level < USB_DEVICE_SEARCH_DEPTH; ++level) {
        if (Exists(dir + "/idVendor")) {
            description.product = ReadAttribute(dir + "/product");
            description.manufacturer = ReadAttribute(dir + "/manufacturer");
            description.serial = ReadAttribute(dir + "/serial");
            break;
        }
        const size_t slash = dir.rfind('/');
        dir = slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash);
    }

    if (device.empty())
        return description;
    std::vector<std::string> links;
    if (DIR* folder = opendir(byIdDir.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            const std::string link = byIdDir + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && RealPath(link) == device)
                links.push_back(link);
        }
        closedir(folder);
    }
    // Prefer the name the user gave; otherwise the first in order, so the choice does not wander.
    std::sort(links.begin(), links.end());
    if (std::find(links.begin(), links.end(), path) != links.end())
        description.byId = path;
    else if (!links.empty())
        description.byId = links.front();
    return description;
}

PortDescription DescribePort(const std::string& path) {
    return DescribePortIn(path, "/sys/class/tty", "/dev/serial/by-id");
}
