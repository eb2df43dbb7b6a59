#pragma once
// Image files written by the tests themselves: a union file (PFL at 0, main firmware at 0x8000 with a module
// table that passes the check) and a binary Options file. Each writer returns the file's bytes, which are
// what an upload must leave in the flash from the section's start.

#include <cstdint>
#include <string>
#include <vector>

// total: file size in bytes (a multiple of 4, at least 0x8000 + 2048). The main firmware carries version
// fwVersion (4 characters); the PFL section carries pflMajor.pflMinor.
std::vector<uint8_t> WriteUnionImage(const std::string& path, uint32_t total,
                                     const std::string& fwVersion = "T100", uint8_t pflMajor = 1,
                                     uint8_t pflMinor = 5, uint32_t seed = 1);

// size: image bytes (a multiple of 4, at most 0x1800); the file ends right after the image (no checksum
// word).
std::vector<uint8_t> WriteOptionsImage(const std::string& path, uint32_t size,
                                       const std::string& serial = "SN12345", uint32_t seed = 7);

// A stand-alone loader file in S-records at 0x201000 whose first bytes carry "$VER,<version>".
void WriteSfldFile(const std::string& path, const std::string& version = "SFLD test 1.0",
                   uint32_t size = 1024);

// A fresh folder below the system's temporary folder.
std::string MakeTempDir(const std::string& tag);
