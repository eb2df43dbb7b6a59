#include "Station.h"

#include "core/Channel.h"
#include "core/Clock.h"
#include "core/Platform.h"
#include "image/ImageFile.h"
#include "image/ImageSnapshot.h"
#include "image/LoadImage.h"
#include "line/LineFiles.h"
#include "line/PortWatch.h"
#include "line/StationEvents.h"
#include "serial/PortTable.h"
#include "upload/UploadCheck.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>

#ifndef PROGRAM_VERSION
#define PROGRAM_VERSION "0.1.0"
#endif

namespace {

constexpr int TERMINAL_REFRESH_MS = 250;
constexpr int PLAIN_LOOK_MS = 500;
constexpr int RESCAN_MS = 1000;
// Exit code of a run whose records or logs could not all be written.
constexpr int WRITE_ERROR_CODE = 6;

bool IsGlob(const std::string& arg) {
    return arg.find_first_of("*?[") != std::string::npos;
}

std::string NewRunId() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    UtcTimeOf(now, utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::random_device random;
    char tail[16];
    std::snprintf(tail, sizeof tail, "%08x", static_cast<unsigned>(random()));
    return std::string(stamp) + "-" + tail;
}

// What tells cheaply that a file may have changed.
struct FileStamp {
    std::filesystem::file_time_type written{};
    uintmax_t size = 0;
    bool operator==(const FileStamp& o) const { return written == o.written && size == o.size; }
};

bool StampOf(const std::string& path, FileStamp& stamp) {
    std::error_code failed;
    stamp.written = std::filesystem::last_write_time(path, failed);
    if (!failed)
        stamp.size = std::filesystem::file_size(path, failed);
    return !failed;
}

class CStation {
public:
    CStation(const LineOptions& options, std::FILE* out)
        : m_Options(options), m_Display(out, PrepareTerminal(out)) {}

    int Run();

private:
    bool Prepare(std::string& error, int& code);
    bool TakeSnapshot(std::string& error);
    // Starts a slot for path; a path that cannot be used gets its record instead.
    void AddSlot(const std::string& path);
    // A table index for name: its own, a new one, or one no slot uses any more.
    int PortIndex(const std::string& name);
    void Record(UnitRecord record);
    void Unusable(const std::string& port, int code, const std::string& reason);
    bool ClaimUnit(std::string& why);
    void WriteError(const std::string& message);
    // Watch mode: slots for new paths, stops for paths that went away.
    void Rescan();
    void Retire();
    void Refresh();
    void WatchImage();
    void Summary();
    int ExitCode();
    std::vector<std::string> BatchPorts();

    const LineOptions& m_Options;
    StationConfig m_Config;
    CStationDisplay m_Display;
    CRecordFile m_RecordFile;
    std::mutex m_RecordLock;
    std::vector<UnitRecord> m_Records;
    std::set<std::string> m_ErrorsSaid;
    std::atomic<bool> m_WriteFailed{false};
    std::atomic<int> m_OptionsUnits{0};
    struct Entry {
        std::string device;
        int index = 0;
        std::unique_ptr<CStationSlot> slot;
    };
    std::map<std::string, Entry> m_Slots;
    struct Retired {
        int index = 0;
        std::unique_ptr<CStationSlot> slot;
    };
    std::vector<Retired> m_Retired;
    std::set<std::string> m_UnusableSaid;
    FileStamp m_ImageStamp;
    bool m_ImageChangeSaid = false;
};

void CStation::WriteError(const std::string& message) {
    m_WriteFailed.store(true);
    std::lock_guard<std::mutex> lock(m_RecordLock);
    if (m_ErrorsSaid.insert(message).second) {
        std::fprintf(stderr, "kavrel-line: %s; no new unit is started\n", message.c_str());
        std::fflush(stderr);
    }
}

void CStation::Record(UnitRecord record) {
    std::string error;
    if (!m_RecordFile.Write(RecordJson(m_Config.run, record), error))
        WriteError(error);
    std::lock_guard<std::mutex> lock(m_RecordLock);
    m_Records.push_back(std::move(record));
}

void CStation::Unusable(const std::string& port, int code, const std::string& reason) {
    if (!m_UnusableSaid.insert(port).second)
        return;
    UnitRecord r;
    r.port = port;
    if (m_Config.expected.optionsImage)
        r.serialWritten = m_Config.expected.serial;
    r.exitCode = code;
    r.result = ResultText(code);
    r.reason = reason;
    r.startTime = r.endTime = std::chrono::system_clock::now();
    Record(r);
    m_Display.Event(port + ": " + r.result + " (exit code " + std::to_string(code) + "): " + reason);
}

bool CStation::ClaimUnit(std::string& why) {
    if (m_WriteFailed.load()) {
        why = "records or logs cannot be written";
        return false;
    }
    if (m_Config.expected.optionsImage && !m_Config.allowSameSerial && m_OptionsUnits.fetch_add(1) > 0) {
        why = "the Options image (serial " + m_Config.expected.serial +
              ") has been written to a unit in this run; --allow-same-serial writes it to more";
        return false;
    }
    return true;
}

int CStation::PortIndex(const std::string& name) {
    int index = FindPortName(name);
    if (index >= 0)
        return index;
    if (AddPortName(name.c_str()))
        return FindPortName(name);
    // A long watch sees more names than the table holds: a slot that no port uses any more is reused.
    std::set<int> used;
    for (const auto& [path, entry] : m_Slots)
        used.insert(entry.index);
    for (const Retired& r : m_Retired)
        used.insert(r.index);
    for (int i = 1; i <= g_PortCount; ++i)
        if (!used.count(i) && SetPortName(i, name.c_str()))
            return i;
    return -1;
}

void CStation::AddSlot(const std::string& path) {
    // The table holds names of up to 255 characters; a longer link is opened by its device's name.
    std::string name = path;
    if (name.size() >= static_cast<size_t>(PORT_NAME_CHARS))
        name = DeviceOf(path);
    if (name.size() >= static_cast<size_t>(PORT_NAME_CHARS)) {
        Unusable(path, 2, "the port's name is longer than 255 characters");
        return;
    }
    const int index = PortIndex(name);
    if (index < 0) {
        Unusable(path, 2, "every port of the table is in use");
        return;
    }
    StationSink sink;
    sink.record = [this](const UnitRecord& r) { Record(r); };
    sink.event = [this](const std::string& line) { m_Display.Event(line); };
    sink.claimUnit = [this](std::string& why) { return ClaimUnit(why); };
    sink.writeError = [this](const std::string& message) { WriteError(message); };
    Entry entry;
    entry.device = DeviceOf(path);
    entry.index = index;
    entry.slot = std::make_unique<CStationSlot>(path, index, m_Config, std::move(sink));
    entry.slot->Start();
    m_Slots[path] = std::move(entry);
}

bool CStation::TakeSnapshot(std::string& error) {
    std::error_code failed;
    if (!std::filesystem::exists(m_Config.image, failed)) {
        error = "the image file was not found: " + m_Config.image;
        return false;
    }
    StampOf(m_Config.image, m_ImageStamp);
    // Every unit loads these bytes: what happens to the file from now on cannot reach a receiver.
    auto snapshot = std::make_shared<ImageSnapshot>();
    if (!ReadImageSnapshot(m_Config.image, *snapshot, error))
        return false;
    m_Config.snapshot = snapshot;
    CChannel scratch;
    CImageFile image;
    if (!LoadImage(image, m_Config.snapshot, scratch)) {
        error = "the image file is not a valid image: " + m_Config.image;
        return false;
    }
    m_Config.expected = ExpectationOf(image);
    image.Close();
    RunInfo& run = m_Config.run;
    run.imageSha256 = snapshot->sha256;
    run.imageSize = snapshot->size;
    run.imageType = m_Config.expected.optionsImage ? "options" : "firmware";
    run.imageVersion = m_Config.expected.optionsImage ? m_Config.expected.serial : m_Config.expected.version;
    return true;
}

bool CStation::Prepare(std::string& error, int& code) {
    m_Config = m_Options.config;
    m_Config.progressLines = !m_Display.Terminal();
    RunInfo& run = m_Config.run;
    run.station = m_Options.station.empty() ? HostName() : m_Options.station;
    run.operatorName = m_Options.operatorName;
    run.lot = m_Options.lot;
    run.program = PROGRAM_VERSION;
    run.runId = NewRunId();
    code = 3;
    if (!TakeSnapshot(error))
        return false;
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::canonical(m_Config.image, failed);
    run.image = failed ? m_Config.image : absolute.string();
    code = 2;
    if (!m_Config.logDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_Config.logDir, ec);
        if (!std::filesystem::is_directory(m_Config.logDir)) {
            error = "the log folder " + m_Config.logDir + " is not a folder" +
                    (ec ? " (" + ec.message() + ")" : std::string());
            return false;
        }
    }
    if (!m_Options.json.empty() && !m_RecordFile.Open(m_Options.json, error))
        return false;
    return true;
}

void CStation::Rescan() {
    std::map<std::string, std::string> present;
    for (const std::string& path : ExpandPorts(m_Options.ports))
        if (IsCharDevice(path))
            present[path] = DeviceOf(path);
    for (auto it = m_Slots.begin(); it != m_Slots.end();) {
        auto found = present.find(it->first);
        // A name that now leads to another device keeps its slot: the slot's port reopens by the name and
        // takes whatever answers there as a new unit.
        if (found != present.end())
            it->second.device = found->second;
        if (found == present.end()) {
            m_Display.Event(it->first + ": adapter removed");
            it->second.slot->RequestStop();
            m_Retired.push_back({it->second.index, std::move(it->second.slot)});
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
        if (it->slot->Done()) {
            it->slot->Join();
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
    std::sort(views.begin(), views.end(),
              [](const SlotView& a, const SlotView& b) { return NaturalLess(a.port, b.port); });
    m_Display.Refresh(views);
}

void CStation::WatchImage() {
    FileStamp now;
    if (m_ImageChangeSaid || (StampOf(m_Config.image, now) && now == m_ImageStamp))
        return;
    ImageSnapshot again;
    std::string error;
    if (ReadImageSnapshot(m_Config.image, again, error) && again.sha256 == m_Config.run.imageSha256) {
        m_ImageStamp = now;
        return;
    }
    m_ImageChangeSaid = true;
    m_Display.Event("kavrel-line: the image file " + m_Config.image +
                    " has changed on disk; the station goes on with the image read at start (SHA-256 " +
                    m_Config.run.imageSha256 + ")");
}

int CStation::ExitCode() {
    std::lock_guard<std::mutex> lock(m_RecordLock);
    int code = 0;
    for (const UnitRecord& r : m_Records)
        code = std::max(code, r.exitCode);
    if (m_WriteFailed.load())
        code = std::max(code, WRITE_ERROR_CODE);
    return code;
}

void CStation::Summary() {
    m_Display.Close();
    std::vector<UnitRecord> records;
    {
        std::lock_guard<std::mutex> lock(m_RecordLock);
        records = m_Records;
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const UnitRecord& a, const UnitRecord& b) { return NaturalLess(a.port, b.port); });
    if (!records.empty()) {
        std::vector<SummaryRow> rows;
        for (const UnitRecord& r : records)
            rows.push_back({r.port, r.result, r.exitCode, r.serialAfter.empty() ? r.serial : r.serialAfter,
                            r.versionBefore, r.versionAfter,
                            std::chrono::duration<double>(r.endTime - r.startTime).count()});
        m_Display.Table(rows);
    }
    const RunInfo& run = m_Config.run;
    m_Display.Event("image " + run.image + " (" + run.imageType + " " + run.imageVersion + ", " +
                    std::to_string(run.imageSize) + " bytes)");
    m_Display.Event("SHA-256 " + run.imageSha256);
    size_t passed = 0;
    for (const UnitRecord& r : records)
        passed += r.exitCode == 0;
    const int code = ExitCode();
    m_Display.Event("kavrel-line: " + std::to_string(records.size()) + " units, " + std::to_string(passed) +
                    " passed, " + std::to_string(records.size() - passed) + " failed (exit code " +
                    std::to_string(code) + ")");
}

std::vector<std::string> CStation::BatchPorts() {
    std::vector<std::string> ports;
    for (const std::string& arg : m_Options.ports) {
        if (!IsGlob(arg)) {
            ports.push_back(arg);
            continue;
        }
        const std::vector<std::string> matched = MatchGlob(arg);
        if (matched.empty())
            Unusable(arg, 2, "no port matches the pattern");
        ports.insert(ports.end(), matched.begin(), matched.end());
    }
    return ports;
}

int CStation::Run() {
    std::string error;
    int code = 2;
    if (!Prepare(error, code)) {
        std::fprintf(stderr, "kavrel-line: %s\n", error.c_str());
        return code;
    }

    CStationEvents events;
    events.Start(m_Options.config.watch);
    if (m_Options.config.watch) {
        Rescan();
    } else {
        std::vector<std::string> seen;
        std::vector<std::string> usable;
        for (const std::string& path : BatchPorts()) {
            if (!IsCharDevice(path)) {
                Unusable(path, 2, "no such serial device");
                continue;
            }
            const std::string device = DeviceOf(path);
            if (std::find(seen.begin(), seen.end(), device) != seen.end())
                continue;
            seen.push_back(device);
            usable.push_back(path);
        }
        // One serial for many units would make them indistinguishable: refused before anything is flashed.
        if (m_Config.expected.optionsImage && !m_Config.allowSameSerial && usable.size() > 1) {
            std::fprintf(stderr,
                         "kavrel-line: the image is an Options image with serial %s, which may be written to "
                         "one unit per run; %zu ports given (--allow-same-serial writes it to every unit)\n",
                         m_Config.expected.serial.c_str(), usable.size());
            return 2;
        }
        for (const std::string& path : usable)
            AddSlot(path);
    }

    bool stopping = false;
    bool finishing = false;
    uint32_t lastScan = TickMs();
    for (;;) {
        Refresh();
        Retire();
        bool allDone = true;
        for (auto& [path, entry] : m_Slots)
            allDone = allDone && entry.slot->Done();
        if (allDone && m_Retired.empty() && (stopping || finishing || !m_Options.config.watch))
            break;

        const int timeout = m_Display.Terminal() ? TERMINAL_REFRESH_MS : PLAIN_LOOK_MS;
        const CStationEvents::Woken woken = events.Wait(timeout);
        const int interrupts = std::max(woken.interrupts, woken.interrupted ? 1 : 0);
        if (interrupts > 0 && (stopping || interrupts > 1)) {
            // The second interrupt: the operator will not wait. Records written so far are on the disk.
            m_Display.Close();
            std::fprintf(stderr, "kavrel-line: second signal, ending at once\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
        if (interrupts > 0) {
            stopping = true;
            m_Display.Event("kavrel-line: interrupted, ending the running units");
            for (auto& [path, entry] : m_Slots)
                entry.slot->RequestStop();
        }
        // A write error ends a watch once the running units have their records.
        if (m_WriteFailed.load() && m_Options.config.watch && !finishing) {
            finishing = true;
            for (auto& [path, entry] : m_Slots)
                entry.slot->RequestFinish();
        }
        WatchImage();
        // Pseudo-terminals and some adapters send no device event: the glob is looked at every second too.
        const bool changed = woken.devicesChanged;
        if (m_Options.config.watch && !stopping && !finishing &&
            (changed || ElapsedMs(lastScan) >= RESCAN_MS)) {
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
