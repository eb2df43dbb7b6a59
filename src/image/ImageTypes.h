#pragma once
// Addresses and small enumerations shared by the image reader, the frame builder and the upload.

#include <cstdint>

// First flash address; the PFL section of a union file starts here and every union file byte is programmed
// at FLASH_BASE + its file offset.
inline constexpr uint32_t FLASH_BASE = 0x10000000u;
inline constexpr uint32_t MAIN_FW_BASE = FLASH_BASE + 0x8000u;
inline constexpr uint32_t OPTIONS_BASE = 0x10005800u;
// The first-stage loader runs from RAM.
inline constexpr uint32_t SFL_BASE = 0x201000u;

// File offset of the main firmware inside a union file.
inline constexpr uint32_t MAIN_FW_OFFSET = 0x8000u;
// No section may end past the 4 MiB flash.
inline constexpr uint32_t FLASH_END = FLASH_BASE + 0x400000u;
// Every image byte goes somewhere in the flash, so no image file is larger than it.
inline constexpr uint32_t FLASH_SIZE = FLASH_END - FLASH_BASE;
// Binary sections never start below the RAM/flash window.
inline constexpr uint32_t LOWEST_START = 0x200000u;

enum class SectionFormat : uint32_t { None = 0, Binary = 1, SRecord = 2 };

enum class FwId : uint32_t { Unknown = 0, Pfl = 1, Sfl = 2, MainFirmware = 3, Options = 4 };

// NoChecksum: a binary section accepted because the file ended exactly where its checksum word would be.
enum class CheckState : uint8_t { NotChecked = 0, Verified = 1, NoChecksum = 2 };

enum class ReadResult : uint32_t { Error = 0, Ok = 1, End = 2 };

// Texts of the report and of the file-information panel.
const char* FormatText(SectionFormat format); // "binary", "motorola s-record", "unknown"
const char* FwIdText(FwId id);                // "PFL", "SFL", "Main F/W", "Options", "unknown"
