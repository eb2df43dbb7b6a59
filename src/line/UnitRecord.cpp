#include "UnitRecord.h"

#include "core/Platform.h"
#include "line/LineFiles.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

Json OrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

} // namespace

const char* ResultText(int exitCode) {
    switch (exitCode) {
    case 0:
        return "passed";
    case 1:
        return "interrupted";
    case 2:
        return "port not found";
    case 3:
        return "image not valid";
    case 4:
        return "no receiver";
    default:
        return "failed";
    }
}

std::string IsoUtc(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    UtcTimeOf(seconds, utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

std::string RecordJson(const RunInfo& run, const UnitRecord& r) {
    Json j;
    j["schema"] = RECORD_SCHEMA;
    j["station"] = run.station;
    j["operator"] = OrNull(run.operatorName);
    j["lot"] = OrNull(run.lot);
    j["program"] = run.program;
    j["runId"] = run.runId;
    j["port"] = r.port;
    j["portPath"] = OrNull(r.portPath);
    j["adapterSerial"] = OrNull(r.adapterSerial);
    j["receiverModel"] = OrNull(r.model);
    j["serialNumber"] = OrNull(r.serial);
    j["options"] = OrNull(r.options);
    j["firmwareBefore"] = OrNull(r.versionBefore);
    j["modelAfter"] = OrNull(r.modelAfter);
    j["serialAfter"] = OrNull(r.serialAfter);
    j["optionsAfter"] = OrNull(r.optionsAfter);
    j["firmwareAfter"] = OrNull(r.versionAfter);
    j["serialWritten"] = OrNull(r.serialWritten);
    j["image"] = run.image;
    j["imageSha256"] = run.imageSha256;
    j["imageVersion"] = OrNull(run.imageVersion);
    j["imageType"] = run.imageType;
    j["imageSize"] = run.imageSize;
    j["result"] = r.result;
    j["exitCode"] = r.exitCode;
    j["verified"] = r.verified ? Json(*r.verified) : Json(nullptr);
    j["reason"] = OrNull(r.reason);
    j["bytesWritten"] = r.bytesWritten;
    j["bytesSkipped"] = r.bytesSkipped;
    j["phaseMs"] = {{"check", r.checkMs},
                    {"loader", r.loaderMs},
                    {"erase", r.eraseMs},
                    {"program", r.programMs},
                    {"restart", r.restartMs}};
    j["startTime"] = IsoUtc(r.startTime);
    j["endTime"] = IsoUtc(r.endTime);
    j["logFile"] = OrNull(r.logFile);
    // Port names and receiver texts are bytes: anything that is not UTF-8 becomes U+FFFD.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

CRecordFile::~CRecordFile() {
    if (m_Fd >= 0)
        CloseFile(m_Fd);
}

bool CRecordFile::Open(const std::string& path, std::string& error) {
    m_Path = path;
    m_Fd = OpenAppendFile(path);
    if (m_Fd < 0)
        error = "cannot open the record file " + path + ": " + SystemErrorText();
    return m_Fd >= 0;
}

bool CRecordFile::Write(const std::string& line, std::string& error) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Fd < 0)
        return true;
    // One write of the whole line: with O_APPEND two stations on one file never interleave inside a line.
    if (!WriteWhole(m_Fd, line + "\n") || !SyncFile(m_Fd)) {
        error = "cannot write the record file " + m_Path + ": " + SystemErrorText();
        return false;
    }
    return true;
}

std::string FileNamePart(const std::string& text, size_t max) {
    std::string name = text.size() > max ? text.substr(text.size() - max) : text;
    for (char& c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_' || c == '.'))
            c = '_';
    return name;
}

CUnitLog::~CUnitLog() {
    Close();
}

bool CUnitLog::Create(const std::string& dir, const std::string& stem, std::string& error) {
    for (int n = 1; n < 1000; ++n) {
        const std::string path =
            dir + "/" + stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".log";
        bool taken = false;
        m_Fd = CreateNewFile(path, taken);
        if (m_Fd >= 0) {
            m_Path = path;
            m_Error.clear();
            return true;
        }
        if (!taken) {
            error = "cannot create the log file " + path + ": " + SystemErrorText();
            return false;
        }
    }
    error = "cannot create a log file for " + stem + " in " + dir + ": every name is taken";
    return false;
}

void CUnitLog::Line(const std::string& line) {
    if (m_Fd < 0)
        return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTimeOf(now, local);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d ", &local);
    // What a receiver printed may hold line ends of its own: each piece becomes a line with the entry's
    // date and time.
    const size_t tab = line.find('\t');
    const std::string stamp = tab != std::string::npos && tab <= 8 ? line.substr(0, tab + 1) : std::string();
    size_t begin = 0;
    bool first = true;
    while (begin <= line.size()) {
        size_t end = line.find_first_of("\r\n", begin);
        if (end == std::string::npos)
            end = line.size();
        if (end > begin || first) {
            m_Buffer += date;
            if (!first)
                m_Buffer += stamp;
            m_Buffer.append(line, begin, end - begin);
            m_Buffer += '\n';
        }
        first = false;
        begin = end + 1;
    }
    if (m_Buffer.size() >= 16384)
        Flush();
}

void CUnitLog::Flush() {
    if (m_Fd < 0 || m_Buffer.empty())
        return;
    if (m_Error.empty() && !WriteWhole(m_Fd, m_Buffer))
        m_Error = "cannot write the log file " + m_Path + ": " + SystemErrorText();
    m_Buffer.clear();
}

bool CUnitLog::Close() {
    if (m_Fd < 0)
        return m_Error.empty();
    Flush();
    if (m_Error.empty() && !SyncFile(m_Fd))
        m_Error = "cannot write the log file " + m_Path + ": " + SystemErrorText();
    if (!CloseFile(m_Fd) && m_Error.empty())
        m_Error = "cannot write the log file " + m_Path + ": " + SystemErrorText();
    m_Fd = -1;
    return m_Error.empty();
}
