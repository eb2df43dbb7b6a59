#include "image/ImageSection.h"

#include <cstring>

bool ImageSection::Open(ImageStream& stream, uint32_t offset) {
    format = SectionFormat::None;
    if (OpenSRecord(stream, offset))
        return true;
    return OpenBinary(stream, offset);
}

bool ImageSection::OpenBinary(ImageStream& stream, uint32_t offset) {
    fileOffset = offset;
    if (!stream.Seek(offset))
        return false;
    format = SectionFormat::Binary;
    uint8_t skipped[32];
    uint32_t count = 0;
    if (stream.Read(skipped, sizeof skipped, count) != ReadResult::Ok)
        return false;
    uint32_t first = 0;
    uint32_t end = 0;
    if (stream.ReadWord(first) != ReadResult::Ok || stream.ReadWord(end) != ReadResult::Ok)
        return false;
    // An end below the start would wrap into a size of nearly 4 GiB.
    if (end < first)
        return false;
    start = first;
    size = end - first;
    entry = first;
    return true;
}

bool ImageSection::OpenSRecord(ImageStream& stream, uint32_t offset) {
    fileOffset = offset;
    if (!stream.Seek(offset))
        return false;
    if (!ScanSRecord(stream))
        return false;
    format = SectionFormat::SRecord;
    return true;
}

bool ImageSection::ScanSRecord(ImageStream& stream) {
    if (!stream.IsOpen())
        return false;
    uint32_t low = 0xFFFFFFFFu;
    uint32_t entryAddress = 0xFFFFFFFFu;
    uint64_t highEnd = 0;
    bool sawEntry = false;
    bool sawData = false;
    SRecordLine line;
    uint32_t stopped = stream.Size();
    for (;;) {
        const uint32_t at = stream.Tell();
        ReadResult r = stream.ReadSRecord(line);
        if (r == ReadResult::End)
            break;
        if (r == ReadResult::Error) {
            if (!sawEntry)
                return false;
            stopped = at;
            break;
        }
        // An S3 line without data bytes places nothing, so it neither widens the extent nor counts as data.
        if (line.type == 3 && line.count > 0) {
            sawData = true;
            if (line.address < low)
                low = line.address;
            uint64_t lineEnd = static_cast<uint64_t>(line.address) + line.count;
            if (lineEnd > highEnd)
                highEnd = lineEnd;
        } else if (line.type == 7) {
            entryAddress = line.address;
            sawEntry = true;
        }
    }
    // Without a data line there is nothing to program; data past 4 GiB has no address.
    if (!sawData || highEnd > 0xFFFFFFFFull)
        return false;
    start = low;
    // The extent of the data, so that an erase over [start, start + size) covers every byte written.
    size = static_cast<uint32_t>(highEnd - low);
    entry = entryAddress == 0xFFFFFFFFu ? low : entryAddress;
    textEnd = stopped;
    return true;
}

void ImageSection::Rewind(ImageStream& stream) {
    stream.Seek(fileOffset);
    continuation.flag = false;
    nextAddress = start;
}

bool ImageSection::NextRecord(ProgramRecord& record, ImageStream& stream) {
    switch (format) {
    case SectionFormat::Binary:
        return NextBinaryRecord(record, stream);
    case SectionFormat::SRecord:
        return NextSRecordRecord(record, stream);
    default:
        return false;
    }
}

bool ImageSection::NextBinaryRecord(ProgramRecord& record, ImageStream& stream) {
    record.BeginData();
    uint8_t block[BLOCK_SIZE];
    uint32_t len = 0;
    // Offsets from start stay correct even where start + size reaches the top of the address space.
    uint32_t done = nextAddress - start;
    if (done < size) {
        uint32_t count = 0;
        ReadResult r = stream.Read(block, BLOCK_SIZE, count);
        if (r == ReadResult::Error)
            return false;
        len = r == ReadResult::Ok ? count : 0;
        if (len > size - done)
            len = size - done;
    }
    record.Append(nextAddress, len, block);
    record.Finish();
    nextAddress += len;
    return true;
}

bool ImageSection::NextSRecordRecord(ProgramRecord& record, ImageStream& stream) {
    record.BeginData();
    // Only the section's own continuation counts; whatever the reused record still holds is stale.
    record.continuation.flag = false;
    bool closed = false;
    if (continuation.flag) {
        closed = record.Append(continuation.address, continuation.count, continuation.bytes) == 1;
        continuation.flag = false;
    }
    SRecordLine line;
    while (!closed) {
        // A bad line ends the frame like the end of the file; the next call reads on after it, but never
        // past the point where the check stopped.
        if (stream.Tell() >= textEnd || stream.ReadSRecord(line) != ReadResult::Ok)
            break;
        // A line without data would open the frame at its own address and end it empty: the section's end.
        if (line.type != 3 || line.count == 0)
            continue;
        closed = record.Append(line.address, line.count, line.data) == 1;
    }
    continuation.flag = record.continuation.flag;
    continuation.address = record.continuation.address;
    continuation.count = record.continuation.count;
    if (continuation.flag)
        std::memcpy(continuation.bytes, record.continuation.bytes, continuation.count);
    record.Finish();
    return true;
}
