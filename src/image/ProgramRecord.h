#pragma once
// Loader frames. Every frame that goes to the target loaders is built here, in place, without allocation:
//   '[' | payload length in 16-bit words (big-endian) | payload | XOR of the payload's big-endian words | ']'
// A data frame's payload is its address (big-endian) and up to 2048 contiguous data bytes, padded to even
// length; a command frame carries two big-endian words; the empty frame closes a transfer.

#include <cstdint>

// Bytes that did not fit the frame just closed; they open the next one. Held by the record while a frame
// is built and by the section between two frames.
struct Continuation {
    static constexpr uint16_t BYTES_SIZE = 2063;

    bool flag = false;    // bytes are waiting
    uint32_t address = 0; // address of the first waiting byte
    uint8_t bytes[BYTES_SIZE] = {};
    uint16_t count = 0;
};

struct ProgramRecord {
    static constexpr uint16_t MAX_DATA = 2048;
    static constexpr uint16_t FRAME_SIZE = 2064;
    // '[' + two length bytes + two checksum bytes + ']'.
    static constexpr uint16_t FRAME_OVERHEAD = 6;

    uint32_t frameAddress = 0; // first data byte; command frame: word a; empty frame: 0
    uint8_t frame[FRAME_SIZE] = {};
    uint16_t length = 0;    // while building: payload bytes; after Finish: bytes to send
    uint16_t dataCount = 0; // data bytes in the frame; 0 marks the end of a section
    bool newFrame = false;  // the next Append starts the frame and writes its address
    Continuation continuation;

    // Starts an empty data frame. The continuation is kept: it belongs to the section being framed.
    void BeginData();
    // Adds n bytes at address. 0: all taken, frame still open. 1: frame closed (full, or the bytes do not
    // continue it); the bytes not taken wait in continuation. n is at most Continuation::BYTES_SIZE; bytes
    // beyond what the frame and the continuation can hold are dropped.
    uint16_t Append(uint32_t address, uint32_t n, const uint8_t* bytes);
    // Pads, writes length, checksum and brackets; length becomes the total frame length.
    void Finish();
    // Two-word command frame (the erase range: first address, address one past the end).
    void SetCommand(uint32_t a, uint32_t b);
    // 5B 00 00 00 00 5D.
    void SetEmpty();

    const uint8_t* Bytes() const { return frame; }
};
