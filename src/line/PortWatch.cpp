#include "PortWatch.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <glob.h>
#include <libudev.h>
#include <sys/stat.h>

const char DEFAULT_WATCH_GLOB[] = "/dev/serial/by-id/*";

std::vector<std::string> MatchGlob(const std::string& pattern) {
    std::vector<std::string> paths;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i)
            paths.emplace_back(g.gl_pathv[i]);
    globfree(&g);
    return paths;
}

std::string DeviceOf(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return path;
    return resolved;
}

std::string PhysicalPath(const std::string& path) {
    const std::string device = DeviceOf(path);
    for (const std::string& link : MatchGlob("/dev/serial/by-path/*"))
        if (DeviceOf(link) == device)
            return link;
    return {};
}

std::string AdapterSerial(const std::string& path) {
    std::string device = DeviceOf(path);
    size_t slash = device.rfind('/');
    std::string name = slash == std::string::npos ? device : device.substr(slash + 1);
    if (name.empty() || device.rfind("/dev/pts/", 0) == 0)
        return {};
    std::string serial;
    udev* u = udev_new();
    if (!u)
        return {};
    if (udev_device* tty = udev_device_new_from_subsystem_sysname(u, "tty", name.c_str())) {
        // The udev database knows it when the rules ran; otherwise the USB device's own attribute.
        if (const char* s = udev_device_get_property_value(tty, "ID_SERIAL_SHORT"))
            serial = s;
        if (serial.empty())
            if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device"))
                if (const char* s = udev_device_get_sysattr_value(usb, "serial"))
                    serial = s;
        udev_device_unref(tty);
    }
    udev_unref(u);
    return serial;
}

CTtyMonitor::~CTtyMonitor() {
    if (m_Monitor)
        udev_monitor_unref(m_Monitor);
    if (m_Udev)
        udev_unref(m_Udev);
}

bool CTtyMonitor::Start() {
    m_Udev = udev_new();
    if (!m_Udev)
        return false;
    m_Monitor = udev_monitor_new_from_netlink(m_Udev, "udev");
    if (!m_Monitor || udev_monitor_filter_add_match_subsystem_devtype(m_Monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_Monitor) < 0) {
        if (m_Monitor)
            udev_monitor_unref(m_Monitor);
        m_Monitor = nullptr;
        return false;
    }
    return true;
}

int CTtyMonitor::Fd() const {
    return m_Monitor ? udev_monitor_get_fd(m_Monitor) : -1;
}

bool CTtyMonitor::Drain() {
    bool any = false;
    if (!m_Monitor)
        return false;
    while (udev_device* dev = udev_monitor_receive_device(m_Monitor)) {
        udev_device_unref(dev);
        any = true;
    }
    return any;
}
