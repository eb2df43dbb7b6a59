#include "TestFiles.h"

#include "core/Channel.h"
#include "image/ImageFile.h"
#include "image/ImageSection.h"

#include <utility>

namespace {

struct Module {
    uint32_t offset; // absolute file offset
    uint32_t length;
};

constexpr uint32_t FW_SIZE = 0x4000;

// A union file: binary PFL at 0, main firmware at 0x8000 whose table lists tableOffsets; the listed modules
// are written at their offsets and the closing words W1, W2 tie the header and these modules together.
std::vector<uint8_t> UnionWithModules(const std::vector<uint32_t>& tableOffsets,
                                      const std::vector<Module>& modules, bool terminate = true) {
    std::vector<uint8_t> file = UnionBinary(FLASH_BASE, 0x1000);
    file.resize(0x8000, 0xFF);
    std::vector<uint8_t> fw = UnionBinary(MAIN_FW_BASE, FW_SIZE, false);
    file.insert(file.end(), fw.begin(), fw.end());
    const size_t base = 0x8000;
    if (!tableOffsets.empty()) {
        SetWord(file, base + 48, 1);
        SetWord(file, base + 52, 0);
        file[base + 56] = static_cast<uint8_t>(tableOffsets.size());
        file[base + 57] = static_cast<uint8_t>(tableOffsets.size() >> 8);
        file[base + 58] = 0;
        file[base + 59] = 0;
        for (size_t k = 0; k < tableOffsets.size(); ++k) {
            SetWord(file, base + 60 + 8 * k, 0);
            SetWord(file, base + 64 + 8 * k, tableOffsets[k]);
        }
        if (terminate)
            SetWord(file, base + 60 + 8 * tableOffsets.size(), 0xFFFFFFFF);
    } else {
        SetWord(file, base + 48, 0xFFFFFFFF);
    }
    uint32_t marker = XorOf(file, base + 64, base + 68);
    uint32_t header = marker == 0x8100 ? 256 : 1024;
    uint32_t y = XorOf(file, base, base + header);
    size_t after = base + header;
    for (const Module& m : modules) {
        SetWord(file, m.offset + 36, 0x20000000);
        SetWord(file, m.offset + 40, 0x20000000 + m.length);
        uint32_t z = XorOf(file, m.offset, m.offset + m.length);
        SetWord(file, m.offset + m.length, z);
        y ^= z;
        after = m.offset + m.length + 4;
    }
    SetWord(file, after, 0x12345678);
    SetWord(file, after + 4, y ^ 0x12345678);
    SetWord(file, base + FW_SIZE, 0xDEADBEEF); // not compared at the main firmware's offset
    return file;
}

class SectionTest : public ::testing::Test {
protected:
    bool ParseBytes(const std::vector<uint8_t>& bytes) {
        std::string path = m_Folder.File("image.bin");
        WriteBytes(path, bytes);
        EXPECT_TRUE(m_Image.OpenFile(path, m_Channel));
        return m_Image.Parse();
    }
    bool ParseText(const std::string& text) {
        std::string path = m_Folder.File("image.s");
        WriteText(path, text);
        EXPECT_TRUE(m_Image.OpenFile(path, m_Channel));
        return m_Image.Parse();
    }
    // Opens the file's first section alone, as a union section.
    bool OpenUnion(const std::vector<uint8_t>& bytes, UnionSection& section) {
        std::string path = m_Folder.File("section.bin");
        WriteBytes(path, bytes);
        EXPECT_TRUE(m_Stream.Open(path, m_Channel));
        return section.Open(m_Stream, 0);
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    CImageFile m_Image;
    ImageStream m_Stream;
};

TEST_F(SectionTest, ModuleTableWithShortAndLongHeader) {
    // First module at 0x8100: the marker selects the 256-byte header.
    EXPECT_TRUE(ParseBytes(UnionWithModules({0x8100, 0x8800}, {{0x8100, 0x400}, {0x8800, 0x600}})));
    ASSERT_EQ(m_Image.Count(), 2);
    EXPECT_EQ(m_Image.Section(1).fwId, FwId::MainFirmware);
    EXPECT_EQ(m_Image.Section(1).checkState, CheckState::Verified);
    EXPECT_EQ(m_Image.Section(1).size, FW_SIZE);
    // Any other first offset: 1024 bytes of header.
    EXPECT_TRUE(ParseBytes(UnionWithModules({0x8400, 0x9000}, {{0x8400, 0x300}, {0x9000, 0x100}})));
    // An empty table: the closing words follow the header directly.
    EXPECT_TRUE(ParseBytes(UnionWithModules({}, {})));
}

TEST_F(SectionTest, ModuleTableRejectsBadChecksums) {
    auto file = UnionWithModules({0x8100, 0x8800}, {{0x8100, 0x400}, {0x8800, 0x600}});
    auto corrupt = file;
    corrupt[0x8900] ^= 0x01; // inside the second module
    EXPECT_FALSE(ParseBytes(corrupt));
    EXPECT_EQ(m_Image.Count(), 1);
    corrupt = file;
    corrupt[0x8E04 + 4] ^= 0x80; // W2, right after the last module's checksum word
    EXPECT_FALSE(ParseBytes(corrupt));
    corrupt = file;
    corrupt[0x8010] ^= 0x01; // header word
    EXPECT_FALSE(ParseBytes(corrupt));
}

TEST_F(SectionTest, ModuleOffsetsAtOrBelowAnEarlierOneAreSkipped) {
    // 0x8800 listed twice and 0x8400 (no module there) after a higher offset: neither is checked; a second
    // check of 0x8800 would cancel its checksum out of the closing words.
    EXPECT_TRUE(
        ParseBytes(UnionWithModules({0x8100, 0x8800, 0x8800, 0x8400}, {{0x8100, 0x400}, {0x8800, 0x600}})));
    EXPECT_EQ(m_Image.Section(1).checkState, CheckState::Verified);
}

TEST_F(SectionTest, ModuleTablePastTheFirst1024BytesIsCorrupt) {
    // No terminator: the walk would run on past the table's 1024 bytes.
    std::vector<uint32_t> offsets = {0x8100};
    auto file = UnionWithModules(offsets, {{0x8100, 0x400}}, false);
    for (size_t at = 0x8000 + 68; at < 0x8000 + 1024; ++at)
        file[at] = 0; // zero tags with zero counts, all the way to the end of the table area
    SetWord(file, 0x8000 + 64, 0x8100);
    EXPECT_FALSE(ParseBytes(file));
    // Items that run past 1024 bytes.
    std::vector<uint32_t> many(130, 0x8100);
    EXPECT_FALSE(ParseBytes(UnionWithModules(many, {{0x8100, 0x400}})));
    // Module offsets far outside the file.
    EXPECT_FALSE(ParseBytes(UnionWithModules({0x8100, 0xFFFFFFF0}, {{0x8100, 0x400}})));
}

TEST_F(SectionTest, MissingChecksumWordAtTheEndIsAccepted) {
    auto file = UnionWithModules({0x8100}, {{0x8100, 0x400}});
    file.resize(0x8000 + FW_SIZE);
    EXPECT_TRUE(ParseBytes(file));
    EXPECT_EQ(m_Image.Section(1).checkState, CheckState::NoChecksum);
    EXPECT_EQ(m_Image.Section(0).checkState, CheckState::Verified);
    // Cut inside the image instead: rejected.
    file.resize(0x8000 + FW_SIZE - 100);
    EXPECT_FALSE(ParseBytes(file));
}

TEST_F(SectionTest, PflChecksumMustMatch) {
    auto file = UnionWithModules({}, {});
    ASSERT_TRUE(ParseBytes(file));
    file[0x1000] ^= 0x10; // the PFL's checksum word
    EXPECT_FALSE(ParseBytes(file));
    EXPECT_EQ(m_Image.Count(), 0);
}

TEST_F(SectionTest, AddressRangeLimits) {
    UnionSection section;
    EXPECT_FALSE(OpenUnion(UnionBinary(0x1FFFFF, 0x100), section));
    EXPECT_TRUE(OpenUnion(UnionBinary(0x200000, 0x100), section));
    EXPECT_EQ(section.fwId, FwId::Unknown);
    EXPECT_TRUE(OpenUnion(UnionBinary(0x103FF000, 0x1000), section)); // ends at 0x10400000
    EXPECT_EQ(section.size, 0x1000u);
    EXPECT_FALSE(OpenUnion(UnionBinary(0x103FF001, 0x1000), section)); // ends at 0x10400001
    // start >= end.
    auto backwards = UnionBinary(0x10000000, 0x100);
    SetWord(backwards, 40, 0x10000000);
    SetWord(backwards, 0x100, XorOf(backwards, 0, 0x100));
    EXPECT_FALSE(OpenUnion(backwards, section));
    // A size below 8 has no checksum position: rejected.
    auto tiny = UnionBinary(0x10000000, 0x100);
    SetWord(tiny, 40, 0x10000004);
    EXPECT_FALSE(OpenUnion(tiny, section));
}

TEST_F(SectionTest, OptionsWithAndWithoutChecksum) {
    auto options = UnionBinary(OPTIONS_BASE, 0x400);
    const char serial[] = "TZ5X123";
    std::memcpy(options.data() + 84, serial, 7);
    options[91] = 0;
    SetWord(options, 0x400, XorOf(options, 0, 0x400));
    ASSERT_TRUE(ParseBytes(options));
    EXPECT_EQ(m_Image.Count(), 1);
    const UnionSection& s = m_Image.Section(0);
    EXPECT_EQ(s.fwId, FwId::Options);
    EXPECT_EQ(s.checkState, CheckState::Verified);
    EXPECT_STREQ(s.optionsSerial, "TZ5X123");
    EXPECT_TRUE(s.active);
    EXPECT_TRUE(s.bootCurrent);

    options.resize(0x400);
    ASSERT_TRUE(ParseBytes(options));
    EXPECT_EQ(m_Image.Section(0).checkState, CheckState::NoChecksum);

    options.push_back(1); // part of a checksum word, and a wrong one
    EXPECT_FALSE(ParseBytes(options));
}

TEST_F(SectionTest, OptionsSerialOf64IsKept65IsDropped) {
    for (size_t length : {64u, 65u, 100u}) {
        auto options = UnionBinary(OPTIONS_BASE, 0x400, false);
        std::memset(options.data() + 84, 'Q', length);
        options[84 + length] = '-';
        SetWord(options, 0x400, XorOf(options, 0, 0x400));
        ASSERT_TRUE(ParseBytes(options)) << length;
        EXPECT_EQ(m_Image.Section(0).fwId, FwId::Options);
        EXPECT_EQ(std::string(m_Image.Section(0).optionsSerial), length == 64 ? std::string(64, 'Q') : "")
            << length;
    }
}

TEST_F(SectionTest, PflVersionIsHexForBinaryAndDecimalForSRecords) {
    auto file = UnionWithModules({}, {});
    file[57] = 0x1A;
    file[56] = 0x03;
    SetWord(file, 0x1000, XorOf(file, 0, 0x1000));
    ASSERT_TRUE(ParseBytes(file));
    EXPECT_STREQ(m_Image.Section(0).version, "1A.3");

    auto pfl = Pattern(64, 0);
    pfl[57] = 0x1A;
    pfl[56] = 0x03;
    std::string text = SLine(0, 0, {'p'});
    for (uint32_t at = 0; at < 64; at += 16)
        text += SLine(3, FLASH_BASE + at, std::vector<uint8_t>(pfl.begin() + at, pfl.begin() + at + 16));
    text += SLine(7, FLASH_BASE, {});
    // An S-record PFL identifies, but a union file must start with a binary PFL.
    EXPECT_FALSE(ParseText(text));
    ASSERT_EQ(m_Image.Count(), 1);
    EXPECT_EQ(m_Image.Section(0).fwId, FwId::Pfl);
    EXPECT_EQ(m_Image.Section(0).format, SectionFormat::SRecord);
    EXPECT_STREQ(m_Image.Section(0).version, "26.3");
}

TEST_F(SectionTest, MainFirmwareVersionNeedsFourLettersOrDigits) {
    auto file = UnionWithModules({}, {});
    std::memcpy(file.data() + 0x8000 + 1024 + 52, "B7x2", 4);
    // The closing words cover the header only; bytes at 1076 are outside it, so the file stays valid.
    ASSERT_TRUE(ParseBytes(file));
    EXPECT_STREQ(m_Image.Section(1).version, "B7x2");
    file[0x8000 + 1024 + 54] = '.';
    ASSERT_TRUE(ParseBytes(file));
    EXPECT_STREQ(m_Image.Section(1).version, "");
}

TEST_F(SectionTest, SflVersionLine) {
    auto sfl = UnionBinary(SFL_BASE, 0x800, false);
    std::memset(sfl.data() + 44, 0, 0x800 - 44);
    std::memcpy(sfl.data() + 0x80, "$VER,SFLD_1.2\r\nrest", 19);
    SetWord(sfl, 0x800, XorOf(sfl, 0, 0x800));
    UnionSection section;
    ASSERT_TRUE(OpenUnion(sfl, section));
    EXPECT_EQ(section.fwId, FwId::Sfl);
    EXPECT_STREQ(section.version, "SFLD_1.2");

    // Byte 0 is never a candidate; a candidate whose text reaches 256 characters is passed over.
    uint8_t buffer[4096] = {};
    std::memcpy(buffer, "$VER,first", 10);
    std::memset(buffer + 100, 'x', 300);
    std::memcpy(buffer + 100, "$VER,long", 9);
    std::memcpy(buffer + 1000, "$VER#second\rtail", 16);
    char version[256];
    ASSERT_TRUE(FindVersionLine(buffer, sizeof buffer, version, sizeof version));
    EXPECT_STREQ(version, "second");
    // A text that ends right after "$VER" yields an empty version, not the bytes behind its end.
    uint8_t shortText[32] = {};
    std::memcpy(shortText + 4, "$VER", 4);
    std::memcpy(shortText + 9, "junk", 4);
    EXPECT_TRUE(FindVersionLine(shortText, sizeof shortText, version, sizeof version));
    EXPECT_STREQ(version, "");
    // A "$VER" cut by the end of the buffer is no candidate.
    uint8_t cut[8] = {0, 0, 0, 0, 0, '$', 'V', 'E'};
    EXPECT_FALSE(FindVersionLine(cut, sizeof cut, version, sizeof version));
}

TEST_F(SectionTest, ThirdSectionAfterTheMainFirmware) {
    auto file = UnionWithModules({0x8100}, {{0x8100, 0x400}});
    auto sfl = Pattern(0x200, 3);
    std::memcpy(sfl.data() + 0x10, "$VER,SFLD_9\r\n", 13);
    std::string text = SLine(3, SFL_BASE, std::vector<uint8_t>(sfl.begin(), sfl.begin() + 16));
    for (size_t at = 16; at < sfl.size(); at += 16)
        text += SLine(3, SFL_BASE + static_cast<uint32_t>(at),
                      std::vector<uint8_t>(sfl.begin() + at, sfl.begin() + at + 16));
    text += SLine(7, SFL_BASE, {});
    file.insert(file.end(), text.begin(), text.end());
    ASSERT_TRUE(ParseBytes(file));
    ASSERT_EQ(m_Image.Count(), 3);
    const UnionSection& third = m_Image.Section(2);
    EXPECT_EQ(third.format, SectionFormat::SRecord);
    EXPECT_EQ(third.fwId, FwId::Sfl);
    EXPECT_EQ(third.fileOffset, 0x8000u + FW_SIZE + 4);
    EXPECT_EQ(third.size, 0x200u);
    EXPECT_STREQ(third.version, "SFLD_9");
    EXPECT_TRUE(third.active);
    EXPECT_FALSE(m_Image.Section(0).bootCurrent);
    EXPECT_TRUE(m_Image.Section(1).bootCurrent);

    // Trailing bytes that are no section do not make the file invalid.
    auto withJunk = UnionWithModules({0x8100}, {{0x8100, 0x400}});
    withJunk.insert(withJunk.end(), 100, 0x5A);
    ASSERT_TRUE(ParseBytes(withJunk));
    EXPECT_EQ(m_Image.Count(), 2);
}

TEST_F(SectionTest, ParseRejectsOtherLayouts) {
    // Main firmware alone.
    auto fwAlone = UnionBinary(MAIN_FW_BASE, 0x100);
    EXPECT_FALSE(ParseBytes(fwAlone));
    // SFL alone.
    EXPECT_FALSE(ParseBytes(UnionBinary(SFL_BASE, 0x100)));
    // PFL followed by something that is no main firmware.
    auto file = UnionBinary(FLASH_BASE, 0x1000);
    file.resize(0x8000, 0xFF);
    std::string other = SLine(3, OPTIONS_BASE, Pattern(16, 1)) + SLine(7, OPTIONS_BASE, {});
    file.insert(file.end(), other.begin(), other.end());
    EXPECT_FALSE(ParseBytes(file));
    EXPECT_EQ(m_Image.Count(), 2);
    // PFL and nothing at 0x8000.
    file.resize(0x6000);
    EXPECT_FALSE(ParseBytes(file));
    // Empty file and text that is neither form.
    EXPECT_FALSE(ParseBytes({}));
    EXPECT_FALSE(ParseText("hello\nworld\n"));
}

TEST_F(SectionTest, SRecordSectionSpansItsData) {
    std::string text = SLine(0, 0, {'o'}) + SLine(3, OPTIONS_BASE + 0x10, Pattern(16, 1)) +
                       SLine(3, OPTIONS_BASE, Pattern(16, 2)) + SLine(3, OPTIONS_BASE + 0x20, Pattern(5, 3)) +
                       SLine(7, OPTIONS_BASE + 4, {});
    ASSERT_TRUE(ParseText(text));
    const UnionSection& s = m_Image.Section(0);
    EXPECT_EQ(s.format, SectionFormat::SRecord);
    EXPECT_EQ(s.fwId, FwId::Options);
    EXPECT_EQ(s.checkState, CheckState::Verified);
    EXPECT_EQ(s.start, OPTIONS_BASE);
    // Lowest address to the end of the furthest line's data, so the erase covers every byte written.
    EXPECT_EQ(s.size, 0x25u);
    EXPECT_EQ(s.entry, OPTIONS_BASE + 4);

    // One line: its own length, not 0.
    ASSERT_TRUE(ParseText(SLine(3, OPTIONS_BASE, Pattern(16, 1))));
    EXPECT_EQ(m_Image.Section(0).size, 16u);
    EXPECT_EQ(m_Image.Section(0).entry, OPTIONS_BASE);
}

TEST_F(SectionTest, SRecordBadLineAcceptedOnlyAfterEntry) {
    std::string lines = SLine(3, OPTIONS_BASE, Pattern(16, 2));
    EXPECT_TRUE(ParseText(lines + SLine(7, OPTIONS_BASE, {}) + "S3 broken\r\n"));
    EXPECT_FALSE(ParseText(lines + "S3 broken\r\n" + SLine(7, OPTIONS_BASE, {})));
    // No data line at all: nothing to program.
    EXPECT_FALSE(ParseText(SLine(0, 0, {'x'}) + SLine(7, OPTIONS_BASE, {})));
    // Data running past the 32-bit address space.
    EXPECT_FALSE(ParseText(SLine(3, 0xFFFFFFF8, Pattern(16, 1))));
}

TEST_F(SectionTest, PlainBinaryLoaderForm) {
    std::vector<uint8_t> loader(0x300, 0x11);
    SetWord(loader, 32, SFL_BASE);
    SetWord(loader, 36, SFL_BASE + 0x300);
    std::string path = m_Folder.File("loader.bin");
    WriteBytes(path, loader);
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    ImageSection section;
    ASSERT_TRUE(section.Open(m_Stream, 0));
    EXPECT_EQ(section.format, SectionFormat::Binary);
    EXPECT_EQ(section.start, SFL_BASE);
    EXPECT_EQ(section.size, 0x300u);
    EXPECT_EQ(section.fileOffset, 0u);
    // An end below the start would make a size of nearly 4 GiB.
    SetWord(loader, 36, SFL_BASE - 4);
    WriteBytes(path, loader);
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    EXPECT_FALSE(section.Open(m_Stream, 0));
    // Too short for its two words.
    WriteBytes(path, std::vector<uint8_t>(34, 1));
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    EXPECT_FALSE(section.Open(m_Stream, 0));
}

} // namespace
