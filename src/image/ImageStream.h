#pragma once
// One open image file, read through a C stream. Everything that parses image files goes through this class
// so that bounds and end-of-file rules live in one place.

#include "image/ImageTypes.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

class CChannel;

// One parsed S-record line. Only S3 (data) and S7 (entry) lines carry meaning for the readers.
struct SRecordLine {
    static constexpr uint16_t DATA_SIZE = 256;

    uint8_t type = 0;     // the digit after 'S'
    uint16_t count = 0;   // S1..S3: data bytes in data[]; other types: the record's byte count, no data kept
    uint32_t address = 0; // S0: 0; S4..S9: up to 32 bits from the digits before the checksum
    uint8_t data[DATA_SIZE] = {};
    uint8_t checksum = 0;
};

// Local date and time at which the file was created (birth time, else the modification time).
struct FileTime {
    int day = 0;   // 1..31
    int month = 0; // 1..12
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class ImageStream {
public:
    enum class State { Closed, Open, OpenFailed };

    // Longest path the name field holds; a longer path is refused rather than cut.
    static constexpr size_t NAME_SIZE = 512;
    // Longest text line the S-record reader accepts, counting its CR and LF.
    static constexpr size_t MAX_SRECORD_LINE = 78;

    ImageStream() = default;
    ~ImageStream();
    ImageStream(const ImageStream&) = delete;
    ImageStream& operator=(const ImageStream&) = delete;

    // Closes any open file and opens path for reading. Logs the file's creation time (C library text with
    // its line feed) through channel. Fails (state OpenFailed) when the file cannot be opened, is no regular
    // file (a pipe or device could block the reader), the path does not fit the name field, or the file is
    // 4 GiB or larger (sizes are 32-bit).
    bool Open(const std::string& path, CChannel& channel);
    void Close();

    // True only when offset lies inside the file; seeking to the end fails.
    bool Seek(uint64_t offset);
    // Reads up to length (<= 65535) bytes; Ok when at least one byte came. Bytes past count are untouched.
    ReadResult Read(uint8_t* buffer, uint32_t length, uint32_t& count);
    // Reads one little-endian word. A word cut short by the end of the file reads its missing bytes as 0.
    ReadResult ReadWord(uint32_t& word);
    // Reads that many little-endian words from the current position and XORs them into x, in blocks; the same
    // outcome as that many ReadWord calls (Ok only when every one of them would be Ok).
    ReadResult XorWords(uint64_t words, uint32_t& x);
    // Next text line as an S-record. Error for a line that fails any check (length, 'S', hex digits, room for
    // address and checksum, 256 data bytes, checksum) or when the file is not open; End when no line is left.
    ReadResult ReadSRecord(SRecordLine& line);
    // Zeroes window and fills it with the data of the S3 lines inside [low, low + window.size()), reading
    // lines from the current position until the end of the file or the first bad line.
    void ReadSRecordWindow(std::span<uint8_t> window, uint32_t low);

    bool IsOpen() const { return m_State == State::Open; }
    uint32_t Size() const { return m_Size; }
    const char* Name() const { return m_Name; }
    bool HasCreationTime() const { return m_HasCreationTime; }
    const FileTime& CreationTime() const { return m_Created; }

private:
    State m_State = State::Closed;
    uint32_t m_Size = 0;
    bool m_HasCreationTime = false;
    FileTime m_Created;
    std::FILE* m_File = nullptr;
    char m_Name[NAME_SIZE] = {};
};
