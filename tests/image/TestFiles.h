#pragma once
// Real files for the image tests: a private temporary folder and small writers.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kv-image-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()))
            m_Path = name.data();
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!m_Path.empty())
            std::filesystem::remove_all(m_Path, ignored);
    }
    std::string File(const std::string& name) const {
        return (std::filesystem::path(m_Path) / name).string();
    }
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

inline void SetWord(std::vector<uint8_t>& data, size_t at, uint32_t value) {
    if (data.size() < at + 4)
        data.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i)
        data[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t XorOf(const std::vector<uint8_t>& data, size_t from, size_t to) {
    uint32_t x = 0;
    for (size_t i = from; i < to; i += 4)
        x ^= static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
             static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    return x;
}

// A union binary section of size bytes (multiple of 4) at start, filled with a counting pattern, with its
// checksum word appended when asked.
inline std::vector<uint8_t> UnionBinary(uint32_t start, uint32_t size, bool checksum = true) {
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    SetWord(data, 36, start);
    SetWord(data, 40, start + size);
    if (checksum)
        SetWord(data, size, XorOf(data, 0, size));
    return data;
}

// One S-record line with its checksum and CR LF; addressBytes follows the type (S1 2, S2 3, S3 4, S7 4).
inline std::string SLine(int type, uint32_t address, const std::vector<uint8_t>& data) {
    int addressBytes = type == 1 ? 2 : type == 2 ? 3 : type == 0 ? 2 : 4;
    unsigned n = static_cast<unsigned>(addressBytes + data.size() + 1);
    char hex[4];
    std::string line = "S" + std::to_string(type);
    std::snprintf(hex, sizeof hex, "%02X", n);
    line += hex;
    unsigned sum = n;
    for (int i = addressBytes - 1; i >= 0; --i) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
        sum += b;
    }
    for (uint8_t b : data) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", 0xFF - (sum & 0xFF));
    line += hex;
    return line + "\r\n";
}

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 13);
    return data;
}
