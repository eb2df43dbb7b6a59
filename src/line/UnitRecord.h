#pragma once
// One record per unit (one receiver on one port, from its identification to its verification), and the
// JSON Lines file that collects them as they end.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

struct UnitRecord {
    std::string port;
    std::string adapterSerial; // USB serial of the adapter, empty when unknown
    std::string model;
    std::string serial;
    std::string options;
    std::string versionBefore;
    std::string versionAfter;
    std::string image;
    std::string imageSha256;
    std::string result; // "passed", "failed", "not verified", "no receiver", "port not found", "interrupted"
    int exitCode = 0;   // kavrel's meanings
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
// One JSON object on one line, without the line end.
std::string RecordJson(const UnitRecord& record);
// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// Appends records to a file, one line each, flushed as each unit ends; callable from any thread.
class CRecordFile {
public:
    ~CRecordFile();
    bool Open(const std::string& path);
    void Write(const UnitRecord& record);

private:
    std::mutex m_Lock;
    std::FILE* m_File = nullptr;
};
