#pragma once
// One record per unit (one receiver on one port, from its identification to its verification), the JSON
// Lines file that collects them as they end, and the log file of one unit.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// The record format's version; raised whenever a field changes its meaning or goes away.
constexpr int RECORD_SCHEMA = 2;

// What every record of one run shares.
struct RunInfo {
    std::string station; // host name, or --station
    std::string operatorName;
    std::string lot;
    std::string program; // kavrel-line's version
    std::string runId;   // one per run of the station
    std::string image;   // absolute path as given at start
    std::string imageSha256;
    std::string imageVersion; // main firmware version, or the Options serial
    std::string imageType;    // "firmware" or "options"
    uint64_t imageSize = 0;
};

struct UnitRecord {
    std::string port;
    std::string portPath;      // /dev/serial/by-path name of the adapter's position, empty when unknown
    std::string adapterSerial; // USB serial of the adapter, empty when unknown
    std::string model;
    std::string serial;
    std::string options;
    std::string versionBefore;
    std::string modelAfter;
    std::string serialAfter;
    std::string optionsAfter;
    std::string versionAfter;
    std::string serialWritten; // the serial an Options image writes, empty for a firmware image
    // "passed", "failed", "not verified", "disconnected", "no receiver", "port not found", "interrupted"
    std::string result;
    int exitCode = 0;             // kavrel's meanings
    std::optional<bool> verified; // none when the upload did not complete
    std::string reason;           // why it did not pass
    uint64_t bytesWritten = 0;
    uint64_t bytesSkipped = 0;
    // Milliseconds of each phase: identification, loader load, erase, programming with the completion
    // mark, restart with the new identification.
    uint32_t checkMs = 0, loaderMs = 0, eraseMs = 0, programMs = 0, restartMs = 0;
    std::chrono::system_clock::time_point startTime{};
    std::chrono::system_clock::time_point endTime{};
    std::string logFile;
};

// Result text of an exit code.
const char* ResultText(int exitCode);
// "2024-05-01T12:34:56.789Z".
std::string IsoUtc(std::chrono::system_clock::time_point t);
// One JSON object on one line, without the line end; always valid UTF-8 (bytes that are not become U+FFFD).
std::string RecordJson(const RunInfo& run, const UnitRecord& record);

// Appends records to a file, one whole line per write, each synced to the disk before Write returns;
// callable from any thread.
class CRecordFile {
public:
    ~CRecordFile();
    bool Open(const std::string& path, std::string& error);
    // False with the reason in error when the record did not reach the file.
    bool Write(const std::string& line, std::string& error);

private:
    std::mutex m_Lock;
    int m_Fd = -1;
    std::string m_Path;
};

// The log file of one unit: created new (never over another file), every line with its date, synced
// when closed. The first failure is kept for the caller to report.
class CUnitLog {
public:
    ~CUnitLog();
    // Creates dir/<stem>.log, or dir/<stem>-2.log and so on when that name is taken.
    bool Create(const std::string& dir, const std::string& stem, std::string& error);
    bool IsOpen() const { return m_Fd >= 0; }
    const std::string& Path() const { return m_Path; }
    // A channel log line ("hh:mm:ss\ttext") or a line of the station's own; the date goes in front.
    void Line(const std::string& line);
    // Writes what is buffered, syncs and closes; false when any write failed.
    bool Close();
    const std::string& Error() const { return m_Error; }

private:
    void Flush();

    int m_Fd = -1;
    std::string m_Path;
    std::string m_Buffer;
    std::string m_Error;
};

// A name made of the text's letters, digits, '-', '_' and '.', the rest '_', at most max characters (the
// end is kept: it tells ports apart).
std::string FileNamePart(const std::string& text, size_t max);
