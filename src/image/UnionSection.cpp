#include "image/ImageSection.h"

bool UnionSection::Open(ImageStream& stream, uint32_t offset) {
    format = SectionFormat::None;
    fwId = FwId::Unknown;
    if (!OpenSRecord(stream, offset)) {
        if (!OpenBinary(stream, offset))
            return false;
        entry = start;
    }
    Identify(stream);
    return true;
}

bool UnionSection::OpenSRecord(ImageStream& stream, uint32_t offset) {
    fileOffset = offset;
    checkState = CheckState::NotChecked;
    if (!stream.Seek(offset))
        return false;
    if (!ScanSRecord(stream))
        return false;
    format = SectionFormat::SRecord;
    checkState = CheckState::Verified;
    return true;
}

bool UnionSection::OpenBinary(ImageStream& stream, uint32_t offset) {
    fileOffset = offset;
    checkState = CheckState::NotChecked;
    if (!stream.Seek(offset))
        return false;
    format = SectionFormat::Binary;

    uint32_t x = 0;
    if (stream.XorWords(9, x) != ReadResult::Ok)
        return false;
    uint32_t first = 0;
    uint32_t end = 0;
    if (stream.ReadWord(first) != ReadResult::Ok || stream.ReadWord(end) != ReadResult::Ok)
        return false;
    x ^= first ^ end;
    if (first < LOWEST_START || first >= end || end > FLASH_END)
        return false;
    start = first;
    size = end - first;

    // The words at 44, 48, ... up to the image's end (rounded up to whole words). A size below 8 has no
    // such end: reading on would only stop at the end of the file, which rejects the section as well.
    if (size < 8)
        return false;
    uint32_t consumed = 36;
    uint64_t words = consumed < size - 8 ? (static_cast<uint64_t>(size - 8 - consumed) + 3) / 4 : 0;
    if (stream.XorWords(words, x) != ReadResult::Ok)
        return false;

    uint32_t stored = 0;
    ReadResult r = stream.ReadWord(stored);
    if (r == ReadResult::Error)
        return false;
    if (r == ReadResult::End) {
        checkState = CheckState::NoChecksum;
        return true;
    }
    if (offset != MAIN_FW_OFFSET) {
        if (stored != x)
            return false;
        checkState = CheckState::Verified;
        return true;
    }
    // The main firmware is covered by its module table instead of the one word.
    if (!CheckModules(stream))
        return false;
    checkState = CheckState::Verified;
    return true;
}
