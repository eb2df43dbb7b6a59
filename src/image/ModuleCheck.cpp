// The main firmware's module table: a header checksum over the first 256 or 1024 bytes, one checksum per
// module, and a closing pair of words that ties them together.

#include "image/ImageSection.h"

#include <cstring>

namespace {

uint32_t Word(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Half(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

constexpr uint32_t TABLE_START = 48;
constexpr uint32_t MARKER_AT = 64;
constexpr uint32_t ENTRY_SIZE = 12;
constexpr uint32_t ITEM_SIZE = 8;
constexpr uint32_t TABLE_END_TAG = 0xFFFFFFFFu;

} // namespace

bool UnionSection::CheckModules(ImageStream& stream) {
    uint8_t table[MODULE_TABLE_SIZE];
    std::memset(table, 0, sizeof table);
    uint32_t got = 0;
    if (!stream.Seek(fileOffset) || stream.Read(table, MODULE_TABLE_SIZE, got) != ReadResult::Ok)
        return false;
    if (!stream.Seek(fileOffset))
        return false;
    // The table lives in the bytes read; a table that runs past them is a corrupt file.
    if (got < MARKER_AT + 4)
        return false;

    uint32_t headerLength = Word(table + MARKER_AT) == SHORT_HEADER_MARKER ? 256 : 1024;
    uint32_t y = 0;
    if (stream.XorWords(headerLength / 4, y) != ReadResult::Ok)
        return false;

    uint32_t maxOffset = 0;
    uint32_t at = TABLE_START;
    for (;;) {
        if (at + 4 > got)
            return false;
        if (Word(table + at) == TABLE_END_TAG)
            break;
        if (at + ENTRY_SIZE > got)
            return false;
        uint32_t items = static_cast<uint32_t>(Half(table + at + 8)) + Half(table + at + 10);
        uint32_t itemsAt = at + ENTRY_SIZE;
        if (static_cast<uint64_t>(itemsAt) + static_cast<uint64_t>(items) * ITEM_SIZE > got)
            return false;
        for (uint32_t k = 0; k < items; ++k) {
            uint32_t p = Word(table + itemsAt + k * ITEM_SIZE + 4);
            // Offsets at or below one already checked are not checked twice.
            if (p <= maxOffset)
                continue;
            maxOffset = p;
            uint32_t first = 0;
            uint32_t end = 0;
            if (!stream.Seek(static_cast<uint64_t>(p) + 36) || stream.ReadWord(first) != ReadResult::Ok ||
                stream.ReadWord(end) != ReadResult::Ok)
                return false;
            uint32_t len = end - first;
            if (!stream.Seek(p))
                return false;
            uint32_t z = 0;
            if (stream.XorWords((static_cast<uint64_t>(len) + 3) / 4, z) != ReadResult::Ok)
                return false;
            uint32_t stored = 0;
            if (stream.ReadWord(stored) != ReadResult::Ok || stored != z)
                return false;
            y ^= z;
        }
        at = itemsAt + items * ITEM_SIZE;
    }

    uint32_t w1 = 0;
    uint32_t w2 = 0;
    if (stream.ReadWord(w1) != ReadResult::Ok || stream.ReadWord(w2) != ReadResult::Ok)
        return false;
    return (y ^ w1) == w2;
}
