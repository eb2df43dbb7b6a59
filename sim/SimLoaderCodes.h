#pragma once
// One-byte codes of the loader link, as the receiver's loaders speak them.

#include "sim/SimFrame.h"

#include <cstdint>

const uint8_t OK_CODE = 0x55;
const uint8_t REC_WAIT_CODE = 0x77;
const uint8_t HELLO_CODE = 0xAA;
const uint8_t BAUD_CODE = 0x95;
const uint8_t VERSION_CODE = 0x90;
const uint8_t FLASH_ID_CODE = 0x91;
const uint8_t PFL_VERSION_CODE = 0x45;
const uint8_t LOAD_CODE = 0x44;
const uint8_t ERASE_CODE = 0x6A;
const uint8_t BOOT_RELOAD = 0x07;
const uint8_t PARAM_CODE = 0x8E;
const uint8_t SECTOR_ERASED = 0x8F;
const uint8_t SIZE_EXCEEDED = 0x92;
const uint8_t PROGRAM_FAIL = 0x84;
const uint8_t BAD_CSUM = 0x81;
const uint8_t BAD_LENGTH = 0x82;
const uint8_t BAD_COMMAND = 0x83;
const uint8_t RECORD_TIMEOUT = 0x85;
const uint8_t NO_REC_END = 0x88;

// The rates named by the baud index that the host offers the first-stage loader.
const uint32_t SIM_BAUD_RATES[10] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// The loader's reply to a frame it refuses, with its name for the transcript; false for a frame it takes.
inline bool FrameRefusal(FrameStatus st, uint8_t& code, const char*& name) {
    switch (st) {
    case FrameStatus::BadLength:
        code = BAD_LENGTH;
        name = "BAD_LENGTH";
        return true;
    case FrameStatus::BadCsum:
        code = BAD_CSUM;
        name = "BAD_CSUM";
        return true;
    case FrameStatus::NoEnd:
        code = NO_REC_END;
        name = "NO_REC_END";
        return true;
    default:
        return false;
    }
}
