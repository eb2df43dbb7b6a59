// Motorola S-record lines: one record per text line, hex digits in either case.

#include "image/ImageStream.h"

#include <cstring>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Byte k of the record (k = 0 is the count byte at characters 2 and 3); -1 when it is not there.
int RecordByte(const char* line, size_t length, size_t k) {
    size_t at = 2 + 2 * k;
    if (at + 1 >= length)
        return -1;
    int hi = HexDigit(line[at]);
    int lo = HexDigit(line[at + 1]);
    if (hi < 0 || lo < 0)
        return -1;
    return hi << 4 | lo;
}

} // namespace

ReadResult ImageStream::ReadSRecord(SRecordLine& line) {
    if (!IsOpen())
        return ReadResult::Error;
    // Lines are taken in pieces of at most 254 characters up to and including a line feed: a longer line
    // comes in pieces, and each piece fails the length check below. A zero byte ends the piece's text.
    constexpr uint32_t PIECE = 254;
    if (m_Pos >= m_Size)
        return ReadResult::End;
    const uint8_t* from = m_Bytes + m_Pos;
    const uint32_t most = m_Size - m_Pos < PIECE ? m_Size - m_Pos : PIECE;
    const void* lineFeed = std::memchr(from, '\n', most);
    const uint32_t piece =
        lineFeed ? static_cast<uint32_t>(static_cast<const uint8_t*>(lineFeed) - from) + 1 : most;
    m_Pos += piece;
    const void* zero = std::memchr(from, 0, piece);
    const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - from) : piece;
    const char* text = reinterpret_cast<const char*>(from);
    if (length > MAX_SRECORD_LINE || length < 4 || text[0] != 'S')
        return ReadResult::Error;

    int n = RecordByte(text, length, 0);
    // The count covers address, data and checksum: at least the checksum must be there.
    if (n <= 0)
        return ReadResult::Error;
    unsigned sum = static_cast<unsigned>(n);
    uint8_t bytes[256];
    for (int k = 1; k < n; ++k) {
        int b = RecordByte(text, length, static_cast<size_t>(k));
        if (b < 0)
            return ReadResult::Error;
        bytes[k - 1] = static_cast<uint8_t>(b);
        sum += static_cast<unsigned>(b);
    }
    int stored = RecordByte(text, length, static_cast<size_t>(n));
    if (stored < 0 || static_cast<uint8_t>(0xFF - (sum & 0xFF)) != stored)
        return ReadResult::Error;

    // bytes[0 .. n-2] are address and data.
    size_t fieldBytes = static_cast<size_t>(n - 1);
    line.type = static_cast<uint8_t>(text[1] - '0');
    line.address = 0;
    line.count = 0;
    switch (line.type) {
    case 0:
        break;
    case 1:
    case 2:
    case 3: {
        size_t addressBytes = line.type + 1u;
        // No room for the address, or more data than a line holds: a bad line.
        if (fieldBytes < addressBytes || fieldBytes - addressBytes > SRecordLine::DATA_SIZE)
            return ReadResult::Error;
        for (size_t i = 0; i < addressBytes; ++i)
            line.address = line.address << 8 | bytes[i];
        line.count = static_cast<uint16_t>(fieldBytes - addressBytes);
        std::memcpy(line.data, bytes + addressBytes, line.count);
        line.checksum = static_cast<uint8_t>(stored);
        break;
    }
    default: {
        // A 32-bit address; only the digits before the checksum count, so a short record cannot read past it.
        size_t addressBytes = fieldBytes < 4 ? fieldBytes : 4;
        for (size_t i = 0; i < addressBytes; ++i)
            line.address = line.address << 8 | bytes[i];
        line.count = static_cast<uint16_t>(n);
        break;
    }
    }
    return ReadResult::Ok;
}

void ImageStream::ReadSRecordWindow(std::span<uint8_t> window, uint32_t low) {
    std::memset(window.data(), 0, window.size());
    const uint64_t high = static_cast<uint64_t>(low) + window.size();
    SRecordLine line;
    while (ReadSRecord(line) == ReadResult::Ok) {
        if (line.type != 3 || line.address < low || line.address >= high)
            continue;
        for (uint32_t i = 0; i < line.count && static_cast<uint64_t>(line.address) + i < high; ++i)
            window[line.address - low + i] = line.data[i];
    }
}
