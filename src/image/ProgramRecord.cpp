#include "image/ProgramRecord.h"

#include <cstring>

namespace {

// Payload starts after '[' and the two length bytes.
constexpr uint16_t PAYLOAD_AT = 3;
// Largest payload that still leaves room for the pad byte, checksum and ']'.
constexpr uint16_t MAX_PAYLOAD = ProgramRecord::FRAME_SIZE - ProgramRecord::FRAME_OVERHEAD - 1;

void PutBig32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void Hold(Continuation& c, uint32_t address, uint32_t n, const uint8_t* bytes) {
    if (n > Continuation::BYTES_SIZE)
        n = Continuation::BYTES_SIZE;
    // The bytes may come from this very buffer.
    std::memmove(c.bytes, bytes, n);
    c.address = address;
    c.count = static_cast<uint16_t>(n);
    c.flag = true;
}

} // namespace

void ProgramRecord::BeginData() {
    newFrame = true;
    frameAddress = 0;
    length = 0;
    dataCount = 0;
}

uint16_t ProgramRecord::Append(uint32_t address, uint32_t n, const uint8_t* bytes) {
    if (newFrame) {
        newFrame = false;
        frameAddress = address;
        continuation.flag = false;
        PutBig32(frame + PAYLOAD_AT, address);
        length = 4;
    } else if (dataCount >= MAX_DATA || frameAddress + dataCount != address) {
        // A gap, an overlap or a full frame: the bytes open the next frame.
        if (n > 0)
            Hold(continuation, address, n, bytes);
        return 1;
    }

    uint32_t room = dataCount < MAX_DATA ? MAX_DATA - dataCount : 0;
    if (length + room > MAX_PAYLOAD)
        room = length < MAX_PAYLOAD ? MAX_PAYLOAD - length : 0;
    uint32_t take = n < room ? n : room;
    if (take > 0)
        std::memcpy(frame + PAYLOAD_AT + length, bytes, take);
    length = static_cast<uint16_t>(length + take);
    dataCount = static_cast<uint16_t>(dataCount + take);
    if (dataCount >= MAX_DATA || take < n) {
        if (n > take)
            Hold(continuation, address + take, n - take, bytes + take);
        return 1;
    }
    return 0;
}

void ProgramRecord::Finish() {
    if (length > MAX_PAYLOAD)
        length = MAX_PAYLOAD;
    if (length & 1) {
        frame[PAYLOAD_AT + length] = 0;
        ++length;
    }
    frame[0] = '[';
    frame[1] = static_cast<uint8_t>((length / 2) >> 8);
    frame[2] = static_cast<uint8_t>((length / 2) & 0xFF);
    uint16_t checksum = 0;
    for (uint16_t i = 0; i < length; i += 2)
        checksum ^= static_cast<uint16_t>(frame[PAYLOAD_AT + i] << 8 | frame[PAYLOAD_AT + i + 1]);
    frame[PAYLOAD_AT + length] = static_cast<uint8_t>(checksum >> 8);
    frame[PAYLOAD_AT + length + 1] = static_cast<uint8_t>(checksum & 0xFF);
    frame[PAYLOAD_AT + length + 2] = ']';
    length = static_cast<uint16_t>(length + FRAME_OVERHEAD);
}

void ProgramRecord::SetCommand(uint32_t a, uint32_t b) {
    frameAddress = a;
    PutBig32(frame + PAYLOAD_AT, a);
    PutBig32(frame + PAYLOAD_AT + 4, b);
    length = 8;
    Finish();
}

void ProgramRecord::SetEmpty() {
    static const uint8_t EMPTY[6] = {'[', 0, 0, 0, 0, ']'};
    frameAddress = 0;
    std::memcpy(frame, EMPTY, sizeof EMPTY);
    length = 6;
}
