#pragma once
// Built-in names for flash identification: vendors by JEDEC manufacturer code, the short flash type numbers
// of older loaders, and the chip catalogue searched by manufacturer code and device id.

#include <cstddef>
#include <cstdint>

struct FlashChip {
    const char* name;
    uint8_t code;     // only the first row of a list is consulted; it selects the list
    uint8_t reserved; // always 0
    uint16_t deviceId;
};

struct FlashChipList {
    const FlashChip* rows;
    size_t stored; // rows held, including the end row and anything after it
};

constexpr size_t FLASH_VENDOR_COUNT = 14;
constexpr size_t SHORT_FLASH_TYPE_COUNT = 18;
constexpr size_t FLASH_CHIP_LIST_COUNT = 11;

extern const char* const FlashVendors[FLASH_VENDOR_COUNT];
extern const char* const ShortFlashTypes[SHORT_FLASH_TYPE_COUNT];
extern const FlashChipList FlashChipLists[FLASH_CHIP_LIST_COUNT];

// Vendor index 0..13 of a manufacturer code; 0 ("Unknown Vendor ID") for codes outside the map.
int VendorIndex(uint8_t code);

// Rows of list i before its end row (the first row whose device id is 0).
size_t ChipListRowCount(size_t list);

// Name of the first catalogue row for this code and device id, copied into text (always terminated, cut to
// fit). False, with text untouched, when no list has the code or its rows end before a match.
bool FindChipName(uint8_t code, uint16_t deviceId, char* text, size_t textSize);
