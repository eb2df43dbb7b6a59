#pragma once
// SHA-256 of a file, for the record of which image went into a unit.

#include <string>

// Lower-case hexadecimal digest of the file's bytes, or empty when it cannot be read.
std::string FileSha256(const std::string& path);
