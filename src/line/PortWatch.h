#pragma once
// Finding the station's ports: names and globs from the command line, the adapter's USB serial, and a
// udev monitor whose descriptor wakes the watch loop when a tty device comes or goes.

#include <string>
#include <vector>

struct udev;
struct udev_monitor;

// What watch mode looks at when no port is named: every USB serial adapter by its stable name on Linux,
// every COM port on Windows.
extern const char DEFAULT_WATCH_GLOB[];

// Paths of every argument: a glob gives the paths it matches (sorted), anything else stands as it is.
std::vector<std::string> ExpandPorts(const std::vector<std::string>& args);
// The same for one glob; nothing when it matches nothing.
std::vector<std::string> MatchGlob(const std::string& pattern);
// Where a path leads after its links; the path itself when it cannot be resolved.
std::string DeviceOf(const std::string& path);
// The /dev/serial/by-path name of the device behind path (where the adapter is plugged in), or empty.
std::string PhysicalPath(const std::string& path);
// The USB serial number of the adapter behind a tty path, or empty (a pseudo-terminal, a built-in UART).
std::string AdapterSerial(const std::string& path);

class CTtyMonitor {
public:
    ~CTtyMonitor();
    // False when udev cannot be reached (a container without it): the watch then relies on its rescans.
    bool Start();
    // Descriptor to poll for readability, or -1.
    int Fd() const;
    // Takes every pending event; true when there was one.
    bool Drain();

private:
    udev* m_Udev = nullptr;
    udev_monitor* m_Monitor = nullptr;
};
