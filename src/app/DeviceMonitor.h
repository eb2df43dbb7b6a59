#pragma once
// Hot-plug events of serial devices: a libudev monitor on the "tty" subsystem, read on the dialog thread.

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

class CDeviceMonitor : public QObject {
public:
    explicit CDeviceMonitor(QObject* parent = nullptr);
    ~CDeviceMonitor() override;

    // False when udev is not available (no events will come; the program works without them).
    bool Start(std::function<void()> onChange);
    void Stop();

private:
    void OnReadable();

    udev* m_Udev = nullptr;
    udev_monitor* m_Monitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_Notifier;
    std::function<void()> m_OnChange;
};
