#pragma once
// Writers of valid image files: image-union files (PFL, main firmware with its module table, optional SFL),
// Options files and the first-stage loader file. Used by kavrel-image, the tests, the benchmark and the fuzz
// corpus; contents are pseudo-random from a seed, so the same parameters give the same bytes.

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct SflParams {
    std::string version = "SFLD_TZ5_v1.00"; // text after "$VER,"
    uint32_t size = 0xC00;                  // loader image bytes, 272..4096
    uint32_t seed = 1;
    // Stand-alone binary file: start and end at 32 and 36 (the plain form) instead of 36 and 40 (the form
    // of a union section).
    bool plainForm = false;
};

struct UnionParams {
    uint8_t pflMajor = 1; // PFL version bytes 57 and 56
    uint8_t pflMinor = 2;
    uint32_t pflSize = 0x2000;      // multiple of 4, 64..0x4000
    std::string fwVersion = "A123"; // four letters or digits at main firmware offset 1024 + 52
    uint32_t fwSize = 0x10000;      // multiple of 4, 0x1000..0x3F7FFC
    uint32_t modules = 2;           // 1..24 modules in the table
    // Offset of the first module in the main firmware: 0x100 marks a header of 256 bytes, any other offset
    // (a multiple of 4 from 0x400) one of 1024 bytes.
    uint32_t firstModule = 0x100;
    uint32_t repeats = 0; // the table lists the last module this many more times (up to 24 items in all)
    bool withSfl = false; // a third section holding the first-stage loader
    SflParams sfl;
    bool lastChecksum = true; // false: the file ends where the last section's checksum word would be
    uint32_t seed = 1;
};

struct OptionsParams {
    std::string serial = "TZ5A00001234"; // 'A'..'Z', '0'..'9', at most 64 characters
    uint32_t size = 0x800;               // multiple of 4, 352..0x1800
    bool checksum = true;                // binary form: the trailing checksum word
    uint32_t seed = 1;
};

// Each builder returns false with a reason in error for parameters that cannot make a valid file.
bool BuildUnionImage(const UnionParams& params, Bytes& out, std::string& error);
bool BuildOptionsImage(const OptionsParams& params, Bytes& out, std::string& error);
// The loader image (without checksum word): a branch over its header, start and end words, the "$VER," line,
// then code bytes. Meant to be loaded at SFL_BASE.
bool BuildSflImage(const SflParams& params, Bytes& out, std::string& error);

// Motorola S-records: an S0 line naming header, S3 lines of bytesPerLine data bytes, an S7 line with entry;
// lines end in CR LF.
std::string ToSRecords(const Bytes& data, uint32_t address, uint32_t entry, const std::string& header,
                       uint32_t bytesPerLine = 16);
// One S-record line of the given type with its checksum, without a line end.
std::string SRecordLineText(int type, uint32_t address, const uint8_t* data, uint32_t count);

// XOR of the little-endian words of data[from, to) (a cut last word counts with zero bytes).
uint32_t XorWordsOf(const Bytes& data, size_t from, size_t to);
void PutWord(Bytes& data, size_t at, uint32_t value);

bool WriteFile(const std::string& path, const void* data, size_t size, std::string& error);
