#pragma once
// Loading the chosen image: open, parse, the image report into the log, then reduction to one section that
// covers the file, ready for an upload.

#include "core/LockedValue.h"
#include "image/ImageFile.h"

#include <memory>
#include <string>

class CChannel;

// Status texts of a failed load (entries of the program's string table; a translation may replace them).
struct ImageLoadTexts {
    std::string openFailed = "ERROR: image open failed";
    std::string corrupted = "ERROR: corrupted file";
};

// Logs "Open image file name - <path>", then reads path once into image, logs "Image SHA-256: <hex>" of
// the bytes read and writes the report through channel. False for an empty path (nothing more is
// reported), a file that cannot be read (status "<openFailed>: <cause>") or an invalid image (one status
// line and one log line each).
bool LoadImage(CImageFile& image, const std::string& path, CChannel& channel,
               const ImageLoadTexts& texts = ImageLoadTexts{});
// The same for bytes read before (ReadImageSnapshot): many containers may load one snapshot.
bool LoadImage(CImageFile& image, std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel,
               const ImageLoadTexts& texts = ImageLoadTexts{});
// The same with the path taken from the chosen-image cell (each read clears its changed mark).
bool LoadImage(CImageFile& image, LockedString& imagePath, CChannel& channel,
               const ImageLoadTexts& texts = ImageLoadTexts{});

// The file-information values shown for a loaded image.
struct ImageFileInfo {
    bool options = false;   // section 0 is an Options section: value is its serial, no PFL version
    std::string value;      // main firmware version, or the Options serial
    std::string pflVersion; // section 0's version (firmware images only)
    std::string date;       // "dd.mm.yyyy" of the file's creation
    std::string time;       // "h:mm:ss"
    uint32_t size = 0;      // file size in bytes
};
// Fills info from a successfully loaded image (also writes the "Size:", "Created:", version/serial lines
// to the log when channel is given).
ImageFileInfo DescribeImage(const CImageFile& image, CChannel* channel = nullptr);
