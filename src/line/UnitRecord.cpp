#include "UnitRecord.h"

#include "core/Platform.h"

#include <ctime>

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

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                // Receiver texts are ASCII; a stray byte above 0x7F is kept as a code point of its own so
                // the line stays valid UTF-8.
                if (c >= 0x80) {
                    out += static_cast<char>(0xC0 | (c >> 6));
                    out += static_cast<char>(0x80 | (c & 0x3F));
                } else {
                    out += static_cast<char>(c);
                }
            }
        }
    }
    return out + "\"";
}

namespace {

std::string OrNull(const std::string& text) {
    return text.empty() ? std::string("null") : JsonString(text);
}

} // namespace

std::string RecordJson(const UnitRecord& r) {
    std::string j = "{";
    auto field = [&j](const char* name, const std::string& value) {
        if (j.size() > 1)
            j += ",";
        j += JsonString(name) + ":" + value;
    };
    field("port", JsonString(r.port));
    field("adapterSerial", OrNull(r.adapterSerial));
    field("receiverModel", OrNull(r.model));
    field("serialNumber", OrNull(r.serial));
    field("options", OrNull(r.options));
    field("firmwareBefore", OrNull(r.versionBefore));
    field("firmwareAfter", OrNull(r.versionAfter));
    field("image", JsonString(r.image));
    field("imageSha256", JsonString(r.imageSha256));
    field("result", JsonString(r.result));
    field("exitCode", std::to_string(r.exitCode));
    field("verified", r.verified ? (*r.verified ? "true" : "false") : "null");
    field("reason", OrNull(r.reason));
    field("bytesWritten", std::to_string(r.bytesWritten));
    field("bytesSkipped", std::to_string(r.bytesSkipped));
    field("phaseMs", "{\"check\":" + std::to_string(r.checkMs) + ",\"loader\":" + std::to_string(r.loaderMs) +
                         ",\"erase\":" + std::to_string(r.eraseMs) + ",\"program\":" +
                         std::to_string(r.programMs) + ",\"restart\":" + std::to_string(r.restartMs) + "}");
    field("startTime", JsonString(IsoUtc(r.startTime)));
    field("endTime", JsonString(IsoUtc(r.endTime)));
    field("logFile", OrNull(r.logFile));
    return j + "}";
}

CRecordFile::~CRecordFile() {
    if (m_File)
        std::fclose(m_File);
}

bool CRecordFile::Open(const std::string& path) {
    m_File = std::fopen(path.c_str(), "a");
    return m_File != nullptr;
}

void CRecordFile::Write(const UnitRecord& record) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_File)
        return;
    std::fprintf(m_File, "%s\n", RecordJson(record).c_str());
    std::fflush(m_File);
}
