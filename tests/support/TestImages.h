#pragma once
// Image files for the tests, made by kavrel-image's writers. Each writer returns the file's bytes, which are
// what an upload must leave in the flash from the section's start.

#include "ImageWriter.h"
#include "image/ImageTypes.h"

#include <gtest/gtest.h>

#include <string>

// Writes what a builder made; a failed build or write fails the test with its reason.
inline Bytes WriteBuilt(const std::string& path, bool built, const Bytes& bytes, std::string error) {
    EXPECT_TRUE(built && WriteFile(path, bytes.data(), bytes.size(), error)) << error;
    return bytes;
}

// A union file of total bytes: PFL 1.pflMinor at 0, the main firmware from 0x8000 with its checksum word
// last.
inline Bytes WriteUnionImage(const std::string& path, uint32_t total, const std::string& fwVersion,
                             uint8_t pflMinor, uint32_t seed = 1) {
    UnionParams params;
    params.pflMinor = pflMinor;
    params.fwVersion = fwVersion;
    params.fwSize = total - MAIN_FW_OFFSET - 4;
    params.seed = seed;
    Bytes bytes;
    std::string error;
    const bool built = BuildUnionImage(params, bytes, error);
    return WriteBuilt(path, built, bytes, error);
}

// The first-stage loader file: size bytes of loader image as S-records at the loader's RAM address.
inline void WriteSfldFile(const std::string& path, const std::string& version, uint32_t size) {
    SflParams params;
    params.version = version;
    params.size = size;
    Bytes bytes;
    std::string error;
    const bool built = BuildSflImage(params, bytes, error);
    const std::string text = built ? ToSRecords(bytes, SFL_BASE, SFL_BASE, "sfl") : "";
    WriteBuilt(path, built, Bytes(text.begin(), text.end()), error);
}
