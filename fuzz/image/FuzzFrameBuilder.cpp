// The frame builder driven by arbitrary operations: appends of any address and length, finishes, command
// and empty frames, in any order. Every finished frame must match the wire layout.

#include "image/ProgramRecord.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint32_t Word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w = w << 8 | Byte();
        return w;
    }
};

void CheckFinished(const ProgramRecord& r) {
    if (r.length < ProgramRecord::FRAME_OVERHEAD || r.length > ProgramRecord::FRAME_SIZE)
        std::abort();
    uint16_t payload = static_cast<uint16_t>(r.length - ProgramRecord::FRAME_OVERHEAD);
    if (payload % 2 != 0 || r.frame[0] != '[' || r.frame[r.length - 1] != ']')
        std::abort();
    if (static_cast<uint16_t>((r.frame[1] << 8 | r.frame[2]) * 2) != payload)
        std::abort();
    uint16_t sum = 0;
    for (uint16_t i = 0; i < payload; i += 2)
        sum ^= static_cast<uint16_t>(r.frame[3 + i] << 8 | r.frame[4 + i]);
    if ((r.frame[3 + payload] << 8 | r.frame[4 + payload]) != sum)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static uint8_t bytes[Continuation::BYTES_SIZE + 16];
    ProgramRecord record;
    Input in{data, size};
    bool building = false;
    for (int step = 0; step < 64 && in.at < in.size; ++step) {
        switch (in.Byte() % 6) {
        case 0:
            record.BeginData();
            building = true;
            break;
        case 1: {
            uint32_t address = in.Word();
            uint32_t n = (static_cast<uint32_t>(in.Byte()) << 8 | in.Byte()) % (sizeof bytes - 15);
            std::memset(bytes, in.Byte(), n);
            uint16_t closed = record.Append(address, n, bytes);
            if (closed > 1 || record.dataCount > ProgramRecord::MAX_DATA ||
                record.continuation.count > Continuation::BYTES_SIZE)
                std::abort();
            break;
        }
        case 2:
            // Finishing twice is a caller's mistake, but must stay inside the frame.
            record.Finish();
            if (building)
                CheckFinished(record);
            building = false;
            break;
        case 3:
            record.SetCommand(in.Word(), in.Word());
            CheckFinished(record);
            building = false;
            break;
        case 4:
            record.SetEmpty();
            CheckFinished(record);
            building = false;
            break;
        default: {
            // The continuation fed back in, as the S-record framing does.
            Continuation held = record.continuation;
            record.BeginData();
            if (held.flag)
                record.Append(held.address, held.count, held.bytes);
            record.Finish();
            CheckFinished(record);
            building = false;
            break;
        }
        }
    }
    return 0;
}
