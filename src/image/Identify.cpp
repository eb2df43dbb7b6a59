// What a union section is, and the version or serial text it carries.

#include "image/ImageSection.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t PFL_MAX_SIZE = 0x4000;
constexpr uint32_t MAIN_FW_MAX_SIZE = 0x400000;
constexpr uint32_t OPTIONS_MAX_SIZE = 0x1800;
constexpr uint32_t SFL_MAX_SIZE = 0x1000;

constexpr uint32_t PFL_WINDOW = 64;
constexpr uint32_t MAIN_FW_VERSION_AT = 1024;
constexpr uint32_t MAIN_FW_WINDOW = 64;
constexpr uint32_t OPTIONS_WINDOW = 352;
constexpr uint32_t OPTIONS_SERIAL_AT = 84;
constexpr uint32_t SFL_WINDOW = 4096;
// "$VER" plus one separator character.
constexpr uint32_t SFL_VERSION_SKIP = 5;

bool IsAsciiAlnum(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsSerialChar(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

// Reads up to length file bytes at offset into a zeroed buffer; false when nothing could be read.
bool ReadAt(ImageStream& stream, uint64_t offset, uint8_t* buffer, uint32_t length) {
    std::memset(buffer, 0, length);
    uint32_t count = 0;
    return stream.Seek(offset) && stream.Read(buffer, length, count) == ReadResult::Ok;
}

} // namespace

void UnionSection::Identify(ImageStream& stream) {
    fwId = FwId::Unknown;
    if (IdentifyPfl(stream))
        return;
    if (IdentifyMainFirmware(stream))
        return;
    if (IdentifyOptions(stream))
        return;
    IdentifySfl(stream);
}

bool UnionSection::IdentifyPfl(ImageStream& stream) {
    if (checkState == CheckState::NotChecked || start != FLASH_BASE || size > PFL_MAX_SIZE)
        return false;
    version[0] = '\0';
    uint8_t head[PFL_WINDOW];
    if (format == SectionFormat::SRecord) {
        if (stream.Seek(fileOffset)) {
            stream.ReadSRecordWindow(head, start);
            std::snprintf(version, VERSION_SIZE, "%d.%d", head[57], head[56]);
        }
    } else if (ReadAt(stream, fileOffset, head, sizeof head)) {
        std::snprintf(version, VERSION_SIZE, "%X.%X", head[57], head[56]);
    }
    fwId = FwId::Pfl;
    return true;
}

bool UnionSection::IdentifyMainFirmware(ImageStream& stream) {
    if (checkState == CheckState::NotChecked || start != MAIN_FW_BASE || size > MAIN_FW_MAX_SIZE)
        return false;
    version[0] = '\0';
    // File bytes, whatever the format.
    uint8_t head[MAIN_FW_WINDOW];
    if (ReadAt(stream, static_cast<uint64_t>(fileOffset) + MAIN_FW_VERSION_AT, head, sizeof head) &&
        IsAsciiAlnum(head[52]) && IsAsciiAlnum(head[53]) && IsAsciiAlnum(head[54]) &&
        IsAsciiAlnum(head[55])) {
        std::memcpy(version, head + 52, 4);
        version[4] = '\0';
    }
    fwId = FwId::MainFirmware;
    return true;
}

bool UnionSection::IdentifyOptions(ImageStream& stream) {
    if (checkState == CheckState::NotChecked || start != OPTIONS_BASE || size > OPTIONS_MAX_SIZE)
        return false;
    fwId = FwId::Options;
    // The bytes the section places: for S-records the data of its lines, not their text.
    uint8_t head[OPTIONS_WINDOW];
    if (format == SectionFormat::SRecord) {
        std::memset(head, 0, sizeof head);
        if (stream.Seek(fileOffset))
            stream.ReadSRecordWindow(head, start);
    } else {
        ReadAt(stream, fileOffset, head, sizeof head);
    }
    std::memset(optionsSerial, 0, SERIAL_SIZE);
    uint32_t run = 0;
    while (OPTIONS_SERIAL_AT + run < OPTIONS_WINDOW && IsSerialChar(head[OPTIONS_SERIAL_AT + run]))
        ++run;
    if (run > SERIAL_SIZE - 1)
        return false;
    std::memcpy(optionsSerial, head + OPTIONS_SERIAL_AT, run);
    return true;
}

bool UnionSection::IdentifySfl(ImageStream& stream) {
    if (checkState == CheckState::NotChecked || start != SFL_BASE || size > SFL_MAX_SIZE)
        return false;
    uint8_t head[SFL_WINDOW];
    if (format == SectionFormat::SRecord) {
        std::memset(head, 0, sizeof head);
        if (stream.Seek(fileOffset))
            stream.ReadSRecordWindow(head, start);
    } else {
        ReadAt(stream, fileOffset, head, sizeof head);
    }
    version[0] = '\0';
    FindVersionLine(head, sizeof head, version, VERSION_SIZE);
    fwId = FwId::Sfl;
    return true;
}

bool FindVersionLine(const uint8_t* buffer, size_t length, char* version, size_t versionSize) {
    if (versionSize == 0)
        return false;
    version[0] = '\0';
    // Byte 0 is never a candidate.
    for (size_t i = 1; i + 4 <= length; ++i) {
        if (std::memcmp(buffer + i, "$VER", 4) != 0)
            continue;
        // The candidate's text runs to the first zero byte or the buffer's end and must be short.
        const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(buffer + i, 0, length - i));
        size_t textLength = zero ? static_cast<size_t>(zero - (buffer + i)) : length - i;
        if (textLength >= ImageSection::VERSION_SIZE)
            continue;
        size_t n = 0;
        for (size_t k = i + SFL_VERSION_SKIP; k < i + textLength && buffer[k] != '\r'; ++k) {
            if (n + 1 >= versionSize)
                break;
            version[n++] = static_cast<char>(buffer[k]);
        }
        version[n] = '\0';
        return true;
    }
    return false;
}
