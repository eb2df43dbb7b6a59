#pragma once
// SHA-256 of an image's bytes, for the log and the record of which image went into a unit.

#include <cstddef>
#include <cstdint>
#include <string>

// Lower-case hexadecimal digest of the file's bytes, or empty when it cannot be read.
std::string FileSha256(const std::string& path);
// Lower-case hexadecimal digest of size bytes at data.
std::string Sha256Hex(const uint8_t* data, size_t size);
