#include "TestImages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr uint32_t FLASH = 0x10000000u;
constexpr uint32_t MAIN_OFFSET = 0x8000u;
constexpr uint32_t OPTIONS = 0x10005800u;

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t w) {
    v[at] = static_cast<uint8_t>(w);
    v[at + 1] = static_cast<uint8_t>(w >> 8);
    v[at + 2] = static_cast<uint8_t>(w >> 16);
    v[at + 3] = static_cast<uint8_t>(w >> 24);
}

uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
    return static_cast<uint32_t>(v[at]) | (static_cast<uint32_t>(v[at + 1]) << 8) |
           (static_cast<uint32_t>(v[at + 2]) << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

uint32_t Xor32(const std::vector<uint8_t>& v, size_t from, size_t bytes) {
    uint32_t x = 0;
    for (size_t i = 0; i < bytes; i += 4)
        x ^= Get32(v, from + i);
    return x;
}

void Fill(std::vector<uint8_t>& v, size_t from, size_t to, uint32_t seed) {
    uint32_t s = seed * 2654435761u + 12345u;
    for (size_t i = from; i < to; ++i) {
        s = s * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(s >> 16);
    }
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (n != bytes.size())
        throw std::runtime_error("short write " + path);
}

} // namespace

std::vector<uint8_t> WriteUnionImage(const std::string& path, uint32_t total, const std::string& fwVersion,
                                     uint8_t pflMajor, uint8_t pflMinor, uint32_t seed) {
    if (total % 4 != 0 || total < MAIN_OFFSET + 2048)
        throw std::runtime_error("bad union size");
    std::vector<uint8_t> v(total, 0xFF);

    // PFL: 0x1000 bytes at the flash base, its XOR word right after it.
    const uint32_t pflSize = 0x1000;
    Fill(v, 0, pflSize, seed);
    Put32(v, 36, FLASH);
    Put32(v, 40, FLASH + pflSize);
    v[56] = pflMinor;
    v[57] = pflMajor;
    Put32(v, pflSize, Xor32(v, 0, pflSize));

    // Main firmware: everything from 0x8000 up to the last word, which is its XOR word.
    const uint32_t mainSize = total - MAIN_OFFSET - 4;
    Fill(v, MAIN_OFFSET, MAIN_OFFSET + mainSize, seed + 1);
    Put32(v, MAIN_OFFSET + 36, FLASH + MAIN_OFFSET);
    Put32(v, MAIN_OFFSET + 40, FLASH + MAIN_OFFSET + mainSize);
    Put32(v, MAIN_OFFSET + 48, 0xFFFFFFFFu); // empty module table
    Put32(v, MAIN_OFFSET + 64, 0x8100u);     // 256-byte header
    for (size_t i = 0; i < 4; ++i)
        v[MAIN_OFFSET + 1024 + 52 + i] = static_cast<uint8_t>(i < fwVersion.size() ? fwVersion[i] : '0');
    const uint32_t header = Xor32(v, MAIN_OFFSET, 256);
    const uint32_t w1 = Get32(v, MAIN_OFFSET + 256);
    Put32(v, MAIN_OFFSET + 260, header ^ w1);
    Put32(v, MAIN_OFFSET + mainSize, Xor32(v, MAIN_OFFSET, mainSize));
    WriteFile(path, v);
    return v;
}

std::vector<uint8_t> WriteOptionsImage(const std::string& path, uint32_t size, const std::string& serial,
                                       uint32_t seed) {
    if (size % 4 != 0 || size < 352 || size > 0x1800)
        throw std::runtime_error("bad options size");
    std::vector<uint8_t> v(size, 0);
    Fill(v, 0, size, seed);
    Put32(v, 36, OPTIONS);
    Put32(v, 40, OPTIONS + size);
    std::memset(v.data() + 84, 0, 65);
    std::memcpy(v.data() + 84, serial.data(), serial.size() < 64 ? serial.size() : 64);
    WriteFile(path, v);
    return v;
}

void WriteSfldFile(const std::string& path, const std::string& version, uint32_t size) {
    std::vector<uint8_t> data(size, 0);
    Fill(data, 0, size, 99);
    const std::string text = "$VER," + version;
    data[0] = 0;
    std::memcpy(data.data() + 16, text.c_str(), text.size() + 1);
    std::string out;
    char line[128];
    const uint32_t base = 0x201000u;
    for (uint32_t at = 0; at < size; at += 16) {
        uint32_t n = size - at < 16 ? size - at : 16;
        uint32_t address = base + at;
        unsigned sum = n + 5;
        int len = std::snprintf(line, sizeof line, "S3%02X%08X", n + 5, address);
        for (int k = 0; k < 4; ++k)
            sum += (address >> (8 * k)) & 0xFF;
        for (uint32_t i = 0; i < n; ++i) {
            len += std::snprintf(line + len, sizeof line - len, "%02X", data[at + i]);
            sum += data[at + i];
        }
        std::snprintf(line + len, sizeof line - len, "%02X\r\n", 0xFF - (sum & 0xFF));
        out += line;
    }
    char end[32];
    unsigned sum = 5 + 0x00 + 0x20 + 0x10 + 0x00;
    std::snprintf(end, sizeof end, "S705%08X%02X\r\n", base, 0xFF - (sum & 0xFF));
    out += end;
    WriteFile(path, std::vector<uint8_t>(out.begin(), out.end()));
}

std::string MakeTempDir(const std::string& tag) {
    const char* root = std::getenv("TMPDIR");
    std::string pattern =
        std::string(root != nullptr && *root != '\0' ? root : "/tmp") + "/kv-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return buf.data();
}
