#pragma once
// One-byte codes of the loader link. Every code travels as a single byte; the loaders never frame them.

#include <cstdint>

constexpr uint8_t OK_CODE = 0x55;          // go-ahead from the host; acknowledge from a loader
constexpr uint8_t REC_WAIT_CODE = 0x77;    // loader ready for the next frame ('w')
constexpr uint8_t HELLO_CODE = 0xAA;       // first-stage loader started; repeated until answered
constexpr uint8_t BAUD_CODE = 0x95;        // first-stage loader asks for the baud index
constexpr uint8_t BAUD_OPEN = 0x5B;        // '[' before the baud index
constexpr uint8_t BAUD_CLOSE = 0x5D;       // ']' after the baud index
constexpr uint8_t VERSION_CODE = 0x90;     // asks the first-stage loader for its version line
constexpr uint8_t FLASH_ID_CODE = 0x91;    // asks for, and heads, the flash identification
constexpr uint8_t PFL_VERSION_CODE = 0x45; // asks the resident loader for its version line ('E')
constexpr uint8_t LOAD_CODE = 0x44;        // loader mode reached / start of the RAM load ('D')
constexpr uint8_t ERASE_CODE = 0x6A;       // erase command; tag of the sector-count parameter ('j')
constexpr uint8_t BOOT_RELOAD = 0x07;      // allow rewriting the boot area; echoed when granted
constexpr uint8_t PARAM_CODE = 0x8E;       // a tag byte and a value byte follow
constexpr uint8_t SECTOR_ERASED = 0x8F;    // one sector erased
constexpr uint8_t SIZE_EXCEEDED = 0x92;    // erase range does not fit the flash
constexpr uint8_t PROGRAM_FAIL = 0x84;     // programming or erase failed
constexpr uint8_t BAD_CSUM = 0x81;         // frame checksum wrong
constexpr uint8_t BAD_LENGTH = 0x82;       // frame length wrong
constexpr uint8_t BAD_COMMAND = 0x83;      // command unknown; also refuses BOOT_RELOAD
constexpr uint8_t RECORD_TIMEOUT = 0x85;   // frame not complete in time
constexpr uint8_t NO_REC_END = 0x88;       // frame end mark missing

// Baud index of the resident loader and the one offered to the first-stage loader (115200 bit/s).
constexpr int LOADER_BAUD_INDEX = 9;
