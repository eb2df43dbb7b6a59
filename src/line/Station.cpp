#include "Station.h"

#include "core/Channel.h"
#include "core/Clock.h"
#include "core/Platform.h"
#include "image/ImageFile.h"
#include "image/LoadImage.h"
#include "image/Sha256.h"
#include "line/PortWatch.h"
#include "line/StationEvents.h"
#include "serial/PortTable.h"
#include "upload/UploadCheck.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

constexpr int TERMINAL_REFRESH_MS = 250;
constexpr int PLAIN_LOOK_MS = 500;
constexpr int RESCAN_MS = 1000;

class CStation {
public:
    CStation(const LineOptions& options, std::FILE* out)
        : m_Options(options), m_Display(out, PrepareTerminal(out)) {}

    int Run();

private:
    bool Prepare(std::string& error);
    // Starts a slot for path; false when the port table has no room for it.
    bool AddSlot(const std::string& path);
    void Record(const UnitRecord& record);
    void PortNotFound(const std::string& path);
    // Watch mode: slots for new paths, stops for paths that went away.
    void Rescan();
    void Retire();
    void Refresh();
    void Summary();
    int ExitCode();

    const LineOptions& m_Options;
    StationConfig m_Config;
    CStationDisplay m_Display;
    CRecordFile m_RecordFile;
    std::mutex m_RecordLock;
    std::vector<UnitRecord> m_Records;
    struct Entry {
        std::string device;
        std::unique_ptr<CStationSlot> slot;
    };
    std::map<std::string, Entry> m_Slots;
    std::vector<std::unique_ptr<CStationSlot>> m_Retired;
};

void CStation::Record(const UnitRecord& record) {
    m_RecordFile.Write(record);
    std::lock_guard<std::mutex> lock(m_RecordLock);
    m_Records.push_back(record);
}

void CStation::PortNotFound(const std::string& path) {
    UnitRecord r;
    r.port = path;
    r.image = m_Config.image;
    r.imageSha256 = m_Config.imageSha256;
    r.exitCode = 2;
    r.result = ResultText(2);
    r.reason = "no such serial device";
    r.startTime = r.endTime = std::chrono::system_clock::now();
    Record(r);
    m_Display.Event(path + ": port not found (exit code 2)");
}

bool CStation::AddSlot(const std::string& path) {
    int index = FindPortName(path);
    if (index < 0 && AddPortName(path.c_str()))
        index = FindPortName(path);
    if (index < 0) {
        m_Display.Event(path + ": the port table is full, port left out");
        return false;
    }
    StationSink sink;
    sink.record = [this](const UnitRecord& r) { Record(r); };
    sink.event = [this](const std::string& line) { m_Display.Event(line); };
    Entry entry;
    entry.device = DeviceOf(path);
    entry.slot = std::make_unique<CStationSlot>(path, index, m_Config, std::move(sink));
    entry.slot->Start();
    m_Slots[path] = std::move(entry);
    return true;
}

bool CStation::Prepare(std::string& error) {
    m_Config = m_Options.config;
    m_Config.progressLines = !m_Display.Terminal();
    // The image is checked once here; each unit loads it again for its own job.
    CChannel scratch;
    auto image = std::make_unique<CImageFile>();
    if (!LoadImage(*image, m_Config.image, scratch)) {
        error = "the image file is not a valid image: " + m_Config.image;
        return false;
    }
    m_Config.imageSha256 = FileSha256(m_Config.image);
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::canonical(m_Config.image, failed);
    if (!failed)
        m_Config.image = absolute.string();
    if (!m_Config.logDir.empty() && access(m_Config.logDir.c_str(), W_OK) != 0) {
        error = "cannot write into the log folder " + m_Config.logDir;
        return false;
    }
    if (!m_Options.json.empty() && !m_RecordFile.Open(m_Options.json)) {
        error = "cannot open the record file " + m_Options.json;
        return false;
    }
    return true;
}

void CStation::Rescan() {
    std::map<std::string, std::string> present;
    for (const std::string& path : ExpandPorts(m_Options.ports))
        if (IsCharDevice(path))
            present[path] = DeviceOf(path);
    for (auto it = m_Slots.begin(); it != m_Slots.end();) {
        auto found = present.find(it->first);
        if (found == present.end() || found->second != it->second.device) {
            m_Display.Event(it->first + ": adapter removed");
            it->second.slot->RequestStop();
            m_Retired.push_back(std::move(it->second.slot));
            it = m_Slots.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [path, device] : present) {
        if (m_Slots.count(path))
            continue;
        // Two names of one device (a by-id link and its ttyUSB) get one slot.
        bool taken = false;
        for (const auto& [other, entry] : m_Slots)
            taken = taken || entry.device == device;
        if (taken)
            continue;
        m_Display.Event(path + ": adapter found");
        AddSlot(path);
    }
}

void CStation::Retire() {
    for (auto it = m_Retired.begin(); it != m_Retired.end();) {
        if ((*it)->Done()) {
            (*it)->Join();
            it = m_Retired.erase(it);
        } else {
            ++it;
        }
    }
}

void CStation::Refresh() {
    std::vector<SlotView> views;
    for (auto& [path, entry] : m_Slots)
        views.push_back(entry.slot->View());
    m_Display.Refresh(views);
}

int CStation::ExitCode() {
    std::lock_guard<std::mutex> lock(m_RecordLock);
    int code = 0;
    for (const UnitRecord& r : m_Records)
        code = std::max(code, r.exitCode);
    return code;
}

void CStation::Summary() {
    m_Display.Close();
    std::vector<UnitRecord> records;
    {
        std::lock_guard<std::mutex> lock(m_RecordLock);
        records = m_Records;
    }
    if (!records.empty()) {
        char line[512];
        std::snprintf(line, sizeof line, "%-32s %-14s %4s %-16s %-19s %9s %7s", "PORT", "RESULT", "CODE",
                      "SERIAL", "VERSION", "BYTES", "TIME");
        m_Display.Event(line);
        for (const UnitRecord& r : records) {
            const double seconds = std::chrono::duration<double>(r.endTime - r.startTime).count();
            const std::string versions =
                r.versionBefore.empty()
                    ? std::string("-")
                    : r.versionBefore + " -> " + (r.versionAfter.empty() ? "?" : r.versionAfter);
            std::snprintf(line, sizeof line, "%-32s %-14s %4d %-16s %-19s %9llu %7s", r.port.c_str(),
                          r.result.c_str(), r.exitCode, r.serial.empty() ? "-" : r.serial.c_str(),
                          versions.c_str(), static_cast<unsigned long long>(r.bytesWritten + r.bytesSkipped),
                          DurationText(seconds).c_str());
            m_Display.Event(line);
        }
    }
    size_t passed = 0;
    for (const UnitRecord& r : records)
        passed += r.exitCode == 0;
    const int code = ExitCode();
    m_Display.Event("kavrel-line: " + std::to_string(records.size()) + " units, " + std::to_string(passed) +
                    " passed, " + std::to_string(records.size() - passed) + " failed (exit code " +
                    std::to_string(code) + ")");
}

int CStation::Run() {
    std::string error;
    if (!Prepare(error)) {
        m_Display.Event("kavrel-line: " + error);
        return error.rfind("the image", 0) == 0 ? 3 : 2;
    }

    CStationEvents events;
    events.Start(m_Options.config.watch);
    if (m_Options.config.watch) {
        Rescan();
    } else {
        std::vector<std::string> seen;
        const std::vector<std::string> paths = ExpandPorts(m_Options.ports);
        if (paths.empty())
            PortNotFound(m_Options.ports.empty() ? std::string() : m_Options.ports.front());
        for (const std::string& path : paths) {
            if (!IsCharDevice(path)) {
                PortNotFound(path);
                continue;
            }
            const std::string device = DeviceOf(path);
            if (std::find(seen.begin(), seen.end(), device) != seen.end())
                continue;
            seen.push_back(device);
            AddSlot(path);
        }
    }

    bool stopping = false;
    uint32_t lastScan = TickMs();
    for (;;) {
        Refresh();
        Retire();
        bool allDone = true;
        for (auto& [path, entry] : m_Slots)
            allDone = allDone && entry.slot->Done();
        if (allDone && m_Retired.empty() && (stopping || !m_Options.config.watch))
            break;

        const int timeout = m_Display.Terminal() ? TERMINAL_REFRESH_MS : PLAIN_LOOK_MS;
        const CStationEvents::Woken woken = events.Wait(timeout);
        if (woken.interrupted) {
            if (!stopping)
                m_Display.Event("kavrel-line: interrupted, ending the running units");
            stopping = true;
            for (auto& [path, entry] : m_Slots)
                entry.slot->RequestStop();
        }
        // Pseudo-terminals and some adapters send no device event: the glob is looked at every second too.
        const bool changed = woken.devicesChanged;
        if (m_Options.config.watch && !stopping && (changed || ElapsedMs(lastScan) >= RESCAN_MS)) {
            lastScan = TickMs();
            Rescan();
        }
    }
    for (auto& [path, entry] : m_Slots)
        entry.slot->Join();
    Summary();
    return ExitCode();
}

} // namespace

int RunStation(const LineOptions& options, std::FILE* out) {
    CStation station(options, out);
    return station.Run();
}
