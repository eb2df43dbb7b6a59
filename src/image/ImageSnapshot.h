#pragma once
// The bytes of an image file, read once. Everything that checks or frames an image works on this copy, so
// whatever happens to the file afterwards (truncated, rewritten, replaced) never reaches a receiver. One
// snapshot may serve many containers at once; it never changes after it is read.

#include "image/ImageTypes.h"

#include <cstdint>
#include <string>
#include <vector>

// Local date and time at which the file was created (birth time, else the modification time).
struct FileTime {
    int day = 0;   // 1..31
    int month = 0; // 1..12
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct ImageSnapshot {
    std::string path;
    std::vector<uint8_t> bytes;
    std::string sha256; // lower-case hexadecimal digest of bytes
    uint32_t size = 0;  // bytes.size()
    bool hasCreationTime = false;
    FileTime created;
    std::string createdText; // the C library's "Www Mmm dd hh:mm:ss yyyy\n" of created
};

// Reads the regular file at path into out. A pipe, device or directory is refused without being opened for
// reading (a pipe could block, a terminal would have its lines touched), and so is a file larger than the
// flash (FLASH_SIZE). False with error naming the cause (the system's error text where there is one).
bool ReadImageSnapshot(const std::string& path, ImageSnapshot& out, std::string& error);
