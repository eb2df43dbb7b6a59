#include "DeviceMonitor.h"

#include <QSocketNotifier>
#include <libudev.h>

CDeviceMonitor::CDeviceMonitor(QObject* parent) : QObject(parent) {}

CDeviceMonitor::~CDeviceMonitor() {
    Stop();
}

bool CDeviceMonitor::Start(std::function<void()> onChange) {
    Stop();
    m_OnChange = std::move(onChange);
    m_Udev = udev_new();
    if (!m_Udev)
        return false;
    m_Monitor = udev_monitor_new_from_netlink(m_Udev, "udev");
    if (!m_Monitor || udev_monitor_filter_add_match_subsystem_devtype(m_Monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_Monitor) < 0) {
        Stop();
        return false;
    }
    int fd = udev_monitor_get_fd(m_Monitor);
    if (fd < 0) {
        Stop();
        return false;
    }
    m_Notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_Notifier.get(), &QSocketNotifier::activated, this, &CDeviceMonitor::OnReadable);
    return true;
}

void CDeviceMonitor::Stop() {
    m_Notifier.reset();
    if (m_Monitor) {
        udev_monitor_unref(m_Monitor);
        m_Monitor = nullptr;
    }
    if (m_Udev) {
        udev_unref(m_Udev);
        m_Udev = nullptr;
    }
}

void CDeviceMonitor::OnReadable() {
    // Take every pending event, then report once: the handler rebuilds the whole list anyway.
    bool any = false;
    while (udev_device* dev = udev_monitor_receive_device(m_Monitor)) {
        udev_device_unref(dev);
        any = true;
    }
    if (any && m_OnChange)
        m_OnChange();
}
