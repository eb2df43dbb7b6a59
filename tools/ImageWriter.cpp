#include "ImageWriter.h"

#include "image/ImageTypes.h"

#include <cstdio>
#include <cstring>

namespace {

struct Random {
    uint32_t state;
    explicit Random(uint32_t seed) : state(seed ? seed : 0x9E3779B9u) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    void Fill(Bytes& data, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            data[i] = static_cast<uint8_t>(Next() >> 24);
    }
};

constexpr uint32_t HEADER_WORDS_END = 36;
constexpr uint32_t START_AT = 36;
constexpr uint32_t END_AT = 40;
// ARM "B" over the 256-byte header, the loader's first instruction.
constexpr uint32_t BRANCH_OVER_HEADER = 0xEA00003Eu;
constexpr uint32_t SFL_VERSION_AT = 0x30;
constexpr uint32_t SFL_CODE_AT = 0x100;

constexpr uint32_t FW_VERSION_AT = 1024 + 52;
constexpr uint32_t FW_TABLE_AT = 48;
constexpr uint32_t FW_SHORT_HEADER_MODULE = 0x100; // offset 0x8100 in the file marks the 256-byte header
constexpr uint32_t FW_MIN_MODULE = 0x440;          // module 0 must cover the version bytes
constexpr uint32_t FW_MAX_SIZE = 0x3F7FFCu;        // file of 4 MiB: the checksum word is its last word

bool IsSerialChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

bool IsAlnum(char c) {
    return IsSerialChar(c) || (c >= 'a' && c <= 'z');
}

void Header(Bytes& image, size_t at, uint32_t start, uint32_t size, Random& random) {
    random.Fill(image, at, at + HEADER_WORDS_END);
    PutWord(image, at + START_AT, start);
    PutWord(image, at + END_AT, start + size);
}

} // namespace

void PutWord(Bytes& data, size_t at, uint32_t value) {
    if (data.size() < at + 4)
        data.resize(at + 4);
    for (int i = 0; i < 4; ++i)
        data[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t XorWordsOf(const Bytes& data, size_t from, size_t to) {
    uint32_t x = 0;
    for (size_t i = from; i < to; i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < to; ++k)
            w |= static_cast<uint32_t>(data[i + k]) << (8 * k);
        x ^= w;
    }
    return x;
}

bool BuildSflImage(const SflParams& params, Bytes& out, std::string& error) {
    std::string line = "$VER," + params.version + "\r\n";
    if (params.size < SFL_CODE_AT + 16 || params.size > 0x1000 || params.size % 4 != 0) {
        error = "loader size must be a multiple of 4 from 272 to 4096";
        return false;
    }
    if (line.size() + 1 > SFL_CODE_AT - SFL_VERSION_AT ||
        params.version.find_first_of("\r\n$") != std::string::npos) {
        error = "loader version text must be one line of at most 200 characters without '$'";
        return false;
    }
    Random random(params.seed * 2654435761u + 7);
    out.assign(params.size, 0);
    Header(out, 0, SFL_BASE, params.size, random);
    if (params.plainForm) {
        PutWord(out, 32, SFL_BASE);
        PutWord(out, 36, SFL_BASE + params.size);
        PutWord(out, 40, random.Next());
    }
    PutWord(out, 0, BRANCH_OVER_HEADER);
    std::memcpy(out.data() + SFL_VERSION_AT, line.data(), line.size());
    random.Fill(out, SFL_CODE_AT, params.size);
    return true;
}

bool BuildUnionImage(const UnionParams& params, Bytes& out, std::string& error) {
    if (params.pflSize < 64 || params.pflSize > 0x4000 || params.pflSize % 4 != 0) {
        error = "PFL size must be a multiple of 4 from 64 to 16384";
        return false;
    }
    if (params.fwSize < 0x1000 || params.fwSize > FW_MAX_SIZE || params.fwSize % 4 != 0) {
        error = "firmware size must be a multiple of 4 from 4096 to 4161532";
        return false;
    }
    if (params.fwVersion.size() != 4 || !IsAlnum(params.fwVersion[0]) || !IsAlnum(params.fwVersion[1]) ||
        !IsAlnum(params.fwVersion[2]) || !IsAlnum(params.fwVersion[3])) {
        error = "firmware version must be four letters or digits";
        return false;
    }
    uint32_t tail = 64; // room for the closing words and some code after the last module
    const uint32_t first = params.firstModule;
    if (first != FW_SHORT_HEADER_MODULE && (first < 0x400 || first % 4 != 0 || first >= params.fwSize / 2)) {
        error = "first module must be at 0x100, or at a multiple of 4 from 0x400 inside the firmware";
        return false;
    }
    const uint32_t header = first == FW_SHORT_HEADER_MODULE ? 256 : 1024;
    uint32_t area = params.fwSize - first - tail;
    if (params.modules < 1 || params.modules + params.repeats > 24 || area / params.modules < FW_MIN_MODULE) {
        error = "module count must be 1..24 and leave each module at least 1088 bytes";
        return false;
    }
    Bytes sfl;
    if (params.withSfl && !BuildSflImage(params.sfl, sfl, error))
        return false;

    Random random(params.seed);
    out.assign(MAIN_FW_OFFSET, 0xFF); // erased flash between the PFL and the main firmware

    // PFL at 0.
    Header(out, 0, FLASH_BASE, params.pflSize, random);
    random.Fill(out, 44, params.pflSize);
    out[56] = params.pflMinor;
    out[57] = params.pflMajor;
    PutWord(out, params.pflSize, XorWordsOf(out, 0, params.pflSize));

    // Main firmware at 0x8000: header with the module table, the modules, the closing pair.
    const size_t fw = MAIN_FW_OFFSET;
    out.resize(fw + params.fwSize, 0);
    Header(out, fw, MAIN_FW_BASE, params.fwSize, random);
    random.Fill(out, fw + 44, fw + params.fwSize);
    PutWord(out, fw + FW_TABLE_AT, 1);     // tag
    PutWord(out, fw + FW_TABLE_AT + 4, 0); // ignored
    const uint32_t items = params.modules + params.repeats;
    out[fw + FW_TABLE_AT + 8] = static_cast<uint8_t>(items);
    out[fw + FW_TABLE_AT + 9] = 0;
    out[fw + FW_TABLE_AT + 10] = 0; // count2
    out[fw + FW_TABLE_AT + 11] = 0;
    uint32_t slot = (area / params.modules) & ~3u;
    for (uint32_t k = 0; k < items; ++k) {
        size_t item = fw + FW_TABLE_AT + 12 + 8 * k;
        uint32_t module = k < params.modules ? k : params.modules - 1;
        PutWord(out, item, 0);
        PutWord(out, item + 4, static_cast<uint32_t>(fw + first + module * slot));
    }
    PutWord(out, fw + FW_TABLE_AT + 12 + 8 * items, 0xFFFFFFFFu);
    std::memcpy(out.data() + fw + FW_VERSION_AT, params.fwVersion.data(), 4);

    uint32_t y = XorWordsOf(out, fw, fw + header);
    size_t after = 0;
    for (uint32_t k = 0; k < params.modules; ++k) {
        size_t p = fw + first + k * slot;
        uint32_t len = slot - 4; // the module's checksum word closes its slot
        PutWord(out, p + START_AT, FLASH_BASE + static_cast<uint32_t>(p));
        PutWord(out, p + END_AT, FLASH_BASE + static_cast<uint32_t>(p) + len);
        uint32_t z = XorWordsOf(out, p, p + len);
        PutWord(out, p + len, z);
        y ^= z;
        after = p + len + 4;
    }
    uint32_t w1 = random.Next();
    PutWord(out, after, w1);
    PutWord(out, after + 4, y ^ w1);
    bool fwLast = !params.withSfl;
    if (!fwLast || params.lastChecksum)
        PutWord(out, fw + params.fwSize, XorWordsOf(out, fw, fw + params.fwSize));

    // Optional first-stage loader right after the main firmware's checksum word.
    if (params.withSfl) {
        size_t at = out.size();
        out.insert(out.end(), sfl.begin(), sfl.end());
        if (params.lastChecksum)
            PutWord(out, out.size(), XorWordsOf(out, at, out.size()));
    }
    return true;
}

bool BuildOptionsImage(const OptionsParams& params, Bytes& out, std::string& error) {
    if (params.size < 352 || params.size > 0x1800 || params.size % 4 != 0) {
        error = "Options size must be a multiple of 4 from 352 to 6144";
        return false;
    }
    if (params.serial.size() > 64) {
        error = "serial must have at most 64 characters";
        return false;
    }
    for (char c : params.serial) {
        if (!IsSerialChar(c)) {
            error = "serial may hold only 'A'..'Z' and '0'..'9'";
            return false;
        }
    }
    Random random(params.seed);
    out.assign(params.size, 0);
    Header(out, 0, OPTIONS_BASE, params.size, random);
    random.Fill(out, 44, params.size);
    std::memcpy(out.data() + 84, params.serial.data(), params.serial.size());
    out[84 + params.serial.size()] = 0;
    if (params.checksum)
        PutWord(out, params.size, XorWordsOf(out, 0, params.size));
    return true;
}

std::string SRecordLineText(int type, uint32_t address, const uint8_t* data, uint32_t count) {
    int addressBytes = type == 0 || type == 1 || type == 9 || type == 5 ? 2
                       : (type == 2 || type == 8)                       ? 3
                                                                        : 4;
    uint32_t n = static_cast<uint32_t>(addressBytes) + count + 1;
    char text[8];
    std::string line = "S";
    line += static_cast<char>('0' + type);
    std::snprintf(text, sizeof text, "%02X", n & 0xFF);
    line += text;
    unsigned sum = n;
    for (int i = addressBytes - 1; i >= 0; --i) {
        uint8_t b = static_cast<uint8_t>(address >> (8 * i));
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%02X", data[i]);
        line += text;
        sum += data[i];
    }
    std::snprintf(text, sizeof text, "%02X", 0xFF - (sum & 0xFF));
    line += text;
    return line;
}

std::string ToSRecords(const Bytes& data, uint32_t address, uint32_t entry, const std::string& header,
                       uint32_t bytesPerLine) {
    std::string text = SRecordLineText(0, 0, reinterpret_cast<const uint8_t*>(header.data()),
                                       static_cast<uint32_t>(header.size())) +
                       "\r\n";
    for (size_t at = 0; at < data.size(); at += bytesPerLine) {
        uint32_t n = static_cast<uint32_t>(data.size() - at < bytesPerLine ? data.size() - at : bytesPerLine);
        text += SRecordLineText(3, address + static_cast<uint32_t>(at), data.data() + at, n) + "\r\n";
    }
    text += SRecordLineText(7, entry, nullptr, 0) + "\r\n";
    return text;
}

bool WriteFile(const std::string& path, const void* data, size_t size, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot create " + path;
        return false;
    }
    bool ok = std::fwrite(data, 1, size, file) == size;
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        error = "cannot write " + path;
    return ok;
}
