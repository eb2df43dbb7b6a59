#pragma once
// Image files for the tests, made by kavrel-image's writers. The bytes of an image are what an upload must
// leave in the flash from the section's start.

#include "TestDir.h"
#include "image/ImageTypes.h"

// What build makes of params; a refusal fails the test with its reason.
template <class P> Bytes Built(bool (*build)(const P&, Bytes&, std::string&), const P& params) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(build(params, bytes, error)) << error;
    return bytes;
}

// Writes bytes into the file at path from offset in place (the same inode, the rest kept), as another
// program changing an image already opened would.
inline void OverwriteInPlace(const std::string& path, const Bytes& bytes, long offset = 0) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(std::fseek(f, offset, SEEK_SET), 0);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    EXPECT_EQ(std::fclose(f), 0);
}

// A union file of total bytes: PFL 1.pflMinor at 0, the main firmware from 0x8000 with its checksum word
// last.
inline Bytes UnionImage(uint32_t total, const std::string& fwVersion, uint8_t pflMinor, uint32_t seed = 1) {
    UnionParams params;
    params.pflMinor = pflMinor;
    params.fwVersion = fwVersion;
    params.fwSize = total - MAIN_FW_OFFSET - 4;
    params.seed = seed;
    return Built(BuildUnionImage, params);
}

// The first-stage loader file: size bytes of loader image as S-records at the loader's RAM address.
inline std::string SfldFile(const std::string& version, uint32_t size) {
    SflParams params;
    params.version = version;
    params.size = size;
    return ToSRecords(Built(BuildSflImage, params), SFL_BASE, SFL_BASE, "sfl");
}
