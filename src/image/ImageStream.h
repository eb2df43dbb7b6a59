#pragma once
// One image file, read from the copy of its bytes taken when it was opened (ImageSnapshot). Everything that
// parses image files goes through this class so that bounds and end-of-file rules live in one place.

#include "image/ImageSnapshot.h"
#include "image/ImageTypes.h"

#include <cstdint>
#include <memory>
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

    // Closes any open file, reads path into a snapshot and opens that. Logs the file's creation time (C
    // library text with its line feed) through channel. Fails (state OpenFailed, Error() says why) when the
    // path does not fit the name field or ReadImageSnapshot refuses the file.
    bool Open(const std::string& path, CChannel& channel);
    // The same for bytes read before; many streams may share one snapshot.
    bool Open(std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel);
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
    // Offset of the next byte a read takes.
    uint32_t Tell() const { return m_Pos; }
    const char* Name() const { return m_Name; }
    bool HasCreationTime() const { return m_HasCreationTime; }
    const FileTime& CreationTime() const { return m_Created; }
    // Digest of the bytes read, empty when nothing is open; why the last Open failed.
    const std::string& Sha256() const;
    const std::string& Error() const { return m_Error; }

private:
    State m_State = State::Closed;
    uint32_t m_Size = 0;
    uint32_t m_Pos = 0;
    bool m_HasCreationTime = false;
    FileTime m_Created;
    std::shared_ptr<const ImageSnapshot> m_Snapshot;
    const uint8_t* m_Bytes = nullptr; // the snapshot's bytes while open
    std::string m_Error;
    char m_Name[NAME_SIZE] = {};
};
