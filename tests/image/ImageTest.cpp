// Image files as the program loads and frames them: union files, Options files, loader files, S-records.

#include "TempFolder.h"

#include "core/Channel.h"
#include "image/ImageSection.h"
#include "image/LoadImage.h"

namespace {

class ImageTest : public ::testing::Test {
protected:
    bool Load(const auto& bytes) {
        while (m_Channel.m_StatusQueue.Pop())
            ;
        return LoadImage(m_Image, m_Folder.Write("image", bytes), m_Channel);
    }
    // Opens the file as a stand-alone section (the loader file's form).
    bool OpenLoader(const auto& bytes) {
        return m_Stream.Open(m_Folder.Write("loader", bytes), m_Channel) && m_Loader.Open(m_Stream, 0);
    }
    using Frame = std::pair<uint32_t, size_t>; // offset from the section's start, data bytes
    // Every data frame of the section until the empty one, written into a flash image of the section.
    Bytes Frames(ImageSection& section, ImageStream& stream, std::vector<Frame>* frames = nullptr) {
        Bytes flash;
        section.Rewind(stream);
        for (int guard = 0; guard < 4096 && section.NextRecord(m_Record, stream) && m_Record.dataCount;
             ++guard) {
            const uint32_t at = m_Record.frameAddress - section.start;
            if (at > 0x400000) {
                ADD_FAILURE() << "frame outside the section at " << m_Record.frameAddress;
                break;
            }
            flash.resize(std::max<size_t>(flash.size(), at + m_Record.dataCount));
            std::copy(m_Record.frame + 7, m_Record.frame + 7 + m_Record.dataCount, flash.begin() + at);
            if (frames)
                frames->emplace_back(at, m_Record.dataCount);
        }
        return flash;
    }
    Bytes Union(const UnionParams& params) {
        Bytes file;
        std::string error;
        EXPECT_TRUE(BuildUnionImage(params, file, error)) << error;
        return file;
    }
    Bytes Options(const OptionsParams& params) {
        Bytes file;
        std::string error;
        EXPECT_TRUE(BuildOptionsImage(params, file, error)) << error;
        return file;
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    CImageFile m_Image;
    ImageStream m_Stream;
    ImageSection m_Loader;
    ProgramRecord m_Record;
};

std::string Line(int type, uint32_t address, const Bytes& data) {
    return SRecordLineText(type, address, data.data(), static_cast<uint32_t>(data.size())) + "\r\n";
}

TEST_F(ImageTest, UnionFilesLoadAndFrameAsAWhole) {
    struct Case {
        const char* name;
        UnionParams params;
        uint8_t sections = 2;
    } cases[] = {{"two sections"},
                 {"long module header", {.firstModule = 0x400}},
                 {"module listed three times", {.modules = 3, .repeats = 2}},
                 {"largest sizes", {.pflSize = 0x4000, .fwSize = 0x3F7FFC, .modules = 24}},
                 {"without last checksum", {.lastChecksum = false}},
                 {"with loader", {.withSfl = true, .sfl = {.version = "SFLD_9"}}, 3},
                 {"loader without last checksum", {.withSfl = true, .lastChecksum = false}, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnionParams params = c.params;
        params.pflMajor = 0x1A;
        params.pflMinor = 3;
        params.fwVersion = "B7x2";
        const Bytes file = Union(params);
        ASSERT_TRUE(Load(file));
        EXPECT_EQ(m_Image.Section(2).fwId, c.sections == 3 ? FwId::Sfl : FwId::Unknown);
        EXPECT_EQ(m_Image.Section(1).fwId, FwId::MainFirmware);
        EXPECT_STREQ(m_Image.Section(1).version, "B7x2");
        EXPECT_STREQ(m_Image.Section(0).version, "1A.3");
        if (c.sections == 3) {
            EXPECT_STREQ(m_Image.Section(2).version, params.sfl.version.c_str());
        }
        EXPECT_EQ(m_Image.Section(c.sections - 1).checkState,
                  params.lastChecksum ? CheckState::Verified : CheckState::NoChecksum);
        // The whole file is one image from the PFL's start, in full frames and one short one at most.
        ASSERT_EQ(m_Image.Count(), 1);
        std::vector<Frame> frames;
        EXPECT_EQ(Frames(m_Image.Section(0), m_Image.Stream(), &frames), file);
        EXPECT_EQ(frames.size(), (file.size() + 2047) / 2048);
        EXPECT_EQ(frames.front().second, 2048u);
    }
}

TEST_F(ImageTest, DamagedUnionFilesAreCorrupt) {
    const Bytes good = Union({.modules = 3});
    const size_t fw = MAIN_FW_OFFSET;
    struct {
        const char* name;
        size_t at; // byte flipped, or where the file is cut
        bool cut = false;
    } cases[] = {{"PFL image", 0x20},
                 {"PFL checksum", 0x2000},
                 {"module table header", fw + 0x10},
                 {"module", fw + 0x2000},
                 {"closing word", fw + 0x100 + 3 * 0x54E8},
                 {"table end", fw + 84},
                 {"cut in the firmware", fw + 0x8000, true},
                 {"nothing at 0x8000", 0x6000, true},
                 {"empty", 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = good;
        if (c.cut)
            file.resize(c.at);
        else
            file[c.at] ^= 0x10;
        EXPECT_FALSE(Load(file));
        EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "ERROR: corrupted file");
    }
    // The main firmware alone, an SFL alone or an S-record PFL are no image either.
    EXPECT_FALSE(Load(Bytes(good.begin() + fw, good.end())));
    const Bytes withSfl = Union({.withSfl = true});
    EXPECT_FALSE(Load(Bytes(withSfl.begin() + fw + 0x10000 + 4, withSfl.end())));
    const Bytes pfl = Union({.pflMajor = 0x1A, .pflMinor = 3});
    EXPECT_FALSE(Load(ToSRecords(Bytes(pfl.begin(), pfl.begin() + 0x2000), FLASH_BASE, FLASH_BASE, "p")));
    EXPECT_EQ(m_Image.Section(0).fwId, FwId::Pfl); // identified, with its version in decimal
    EXPECT_STREQ(m_Image.Section(0).version, "26.3");
}

TEST_F(ImageTest, TruncatedFilesNeverLoadAsSomethingElse) {
    const Bytes file = Union({.fwSize = 0x1000, .modules = 1, .withSfl = true, .sfl = {.size = 0x200}});
    for (size_t cut = 0; cut < file.size(); cut += cut < 0x100 ? 1 : 97) {
        // Only cuts after the main firmware, where the third section is optional, can still be valid.
        if (Load(Bytes(file.begin(), file.begin() + static_cast<long>(cut)))) {
            EXPECT_GE(cut, MAIN_FW_OFFSET + 0x1000u) << cut;
            EXPECT_EQ(m_Image.Section(0).size, cut);
        }
    }
}

TEST_F(ImageTest, UnionSectionAddressRange) {
    struct {
        uint32_t start, end;
        bool valid;
    } cases[] = {{0x1FFFFF, 0x200400, false},     {0x200000, 0x200400, true},
                 {0x103FFC00, FLASH_END, true},   {0x103FFC01, FLASH_END + 1, false},
                 {0x10000000, 0x10000000, false}, {0x10000000, 0x10000004, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        Bytes file = Options({.size = 0x400, .checksum = false});
        PutWord(file, 36, c.start);
        PutWord(file, 40, c.end);
        UnionSection section;
        ASSERT_TRUE(m_Stream.Open(m_Folder.Write("range", file), m_Channel));
        EXPECT_EQ(section.Open(m_Stream, 0), c.valid);
    }
}

TEST_F(ImageTest, OptionsFiles) {
    const Bytes image = Options({.serial = "TZ5X123", .size = 0x400, .checksum = false});
    Bytes withSum = image;
    PutWord(withSum, 0x400, XorWordsOf(image, 0, 0x400));
    Bytes trailing = withSum;
    trailing.resize(0x4000, 0x77); // 16 KiB from OPTIONS_BASE would reach the main firmware
    Bytes serial64 = Options({.serial = std::string(64, 'Q'), .checksum = false});
    Bytes serial65 = serial64;
    serial65[84 + 64] = 'Q';
    const Bytes big = Options({.size = 0x1800, .checksum = false});
    struct {
        const char* name;
        Bytes file;
        Bytes programmed;
        std::string serial = "TZ5X123";
    } cases[] = {{"no checksum", image, image},
                 {"checksum", withSum, withSum},
                 {"trailing bytes", trailing, withSum},
                 {"serial of 64", serial64, serial64, std::string(64, 'Q')},
                 {"serial of 65", serial65, serial65, ""},
                 {"largest", big, big, "TZ5A00001234"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Load(c.file));
        EXPECT_EQ(m_Image.Section(0).fwId, FwId::Options);
        EXPECT_EQ(m_Image.Section(0).optionsSerial, c.serial);
        EXPECT_EQ(Frames(m_Image.Section(0), m_Image.Stream()), c.programmed);
    }
    Bytes wrongSum = image;
    wrongSum.push_back(1); // a checksum word cut short, and wrong
    EXPECT_FALSE(Load(wrongSum));
    // S-records: the extent of the data, not the length of the text.
    ASSERT_TRUE(Load(ToSRecords(big, OPTIONS_BASE, OPTIONS_BASE + 4, "opt")));
    EXPECT_EQ(m_Image.Section(0).size, 0x1800u);
    EXPECT_EQ(m_Image.Section(0).entry, OPTIONS_BASE + 4);
    EXPECT_EQ(Frames(m_Image.Section(0), m_Image.Stream()), big);
}

// An S3 line with no data bytes places nothing: it is not in the extent and never opens or ends a frame.
TEST_F(ImageTest, BlankSRecordLinePlacesNothing) {
    struct {
        const char* name;
        size_t beforeLine;    // the blank line goes before this 16-byte data line
        uint32_t blankOffset; // its address, from OPTIONS_BASE
    } cases[] = {
        {"first S3 line", 0, 0x10}, {"on a frame boundary", 128, 0x100}, {"past the data", 200, 0x4000}};
    const Bytes data = Options({.size = 0x1000, .checksum = false});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = Line(0, 0, {});
        for (size_t line = 0; line * 16 < data.size(); ++line) {
            if (line == c.beforeLine)
                text += Line(3, OPTIONS_BASE + c.blankOffset, {});
            text += Line(3, OPTIONS_BASE + static_cast<uint32_t>(line * 16),
                         Bytes(data.begin() + line * 16, data.begin() + line * 16 + 16));
        }
        ASSERT_TRUE(Load(text));
        EXPECT_EQ(m_Image.Section(0).start, OPTIONS_BASE);
        EXPECT_EQ(m_Image.Section(0).size, data.size());
        EXPECT_EQ(Frames(m_Image.Section(0), m_Image.Stream()), data);
    }
}

TEST_F(ImageTest, SRecordSectionsFrameTheirLines) {
    const Bytes d(3000, 0x5A);
    auto lines = [&](uint32_t address, size_t count, size_t length) {
        std::string text;
        for (size_t i = 0; i < count; ++i)
            text +=
                Line(3, address + static_cast<uint32_t>(i * length), Bytes(d.begin(), d.begin() + length));
        return text;
    };
    struct {
        const char* name;
        std::string text;
        std::vector<Frame> frames; // empty: the file is refused
        uint32_t size = 0;
    } cases[] = {
        {"gap", Line(3, 0x1000, Bytes(16, 1)) + Line(3, 0x1020, Bytes(16, 2)), {{0, 16}, {0x20, 16}}, 0x30},
        {"overlap", lines(0x1000, 2, 16) + Line(3, 0x1008, Bytes(16, 3)), {{0, 32}, {8, 16}}, 0x20},
        {"128 lines of 16", lines(0x2000, 128, 16) + Line(7, 0x2000, {}), {{0, 2048}}, 2048},
        {"lines of 30 split", lines(0x2000, 100, 30), {{0, 2048}, {2048, 952}}, 3000},
        {"bad line after the entry",
         lines(0x2000, 2, 16) + Line(7, 0x2000, {}) + "S3 bad\r\n",
         {{0, 32}},
         0x20},
        {"bad line before the entry", lines(0x2000, 2, 16) + "S3 bad\r\n" + Line(7, 0x2000, {}), {}},
        {"no data", Line(0, 0, {'x'}) + Line(7, 0x2000, {}), {}},
        {"past 4 GiB", Line(3, 0xFFFFFFF8, Bytes(16, 1)), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(OpenLoader(c.text) && m_Loader.format == SectionFormat::SRecord, !c.frames.empty());
        if (c.frames.empty())
            continue;
        EXPECT_EQ(m_Loader.size, c.size);
        std::vector<Frame> frames;
        Frames(m_Loader, m_Stream, &frames);
        EXPECT_EQ(frames, c.frames);
    }
    // After a bad line or a gap the next frame goes on with the following line.
    ASSERT_TRUE(OpenLoader(Line(3, 0x1000, Bytes(16, 1)) + Line(7, 0x1000, {}) + "junk\r\n" +
                           Line(3, 0x1010, Bytes(16, 2)) + Line(3, 0x1040, Bytes(4, 3))));
    m_Loader.Rewind(m_Stream);
    for (uint32_t address : {0x1000u, 0x1010u, 0x1040u}) {
        ASSERT_TRUE(m_Loader.NextRecord(m_Record, m_Stream));
        EXPECT_EQ(m_Record.frameAddress, address);
        // Whatever the caller's record still holds from another section is no continuation.
        m_Record.continuation = {.flag = true, .address = 0x9999, .count = 5};
    }
    ASSERT_TRUE(m_Loader.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 0);
    EXPECT_FALSE(m_Loader.continuation.flag);
}

TEST_F(ImageTest, PlainBinaryLoaderFile) {
    Bytes file;
    std::string error;
    ASSERT_TRUE(BuildSflImage({.size = 4096, .plainForm = true}, file, error)) << error;
    struct {
        uint32_t end;
        std::vector<Frame> frames;
    } cases[] = {{SFL_BASE + 4096, {{0, 2048}, {2048, 2048}}},
                 {SFL_BASE + 3000, {{0, 2048}, {2048, 952}}},
                 {SFL_BASE + 8192, {{0, 2048}, {2048, 2048}}}, // the file ends first
                 {SFL_BASE - 4, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        PutWord(file, 36, c.end);
        ASSERT_EQ(OpenLoader(file), !c.frames.empty());
        if (c.frames.empty())
            continue;
        std::vector<Frame> frames;
        const Bytes data = Frames(m_Loader, m_Stream, &frames);
        EXPECT_EQ(frames, c.frames);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin()));
    }
}

TEST_F(ImageTest, FrameLayout) {
    m_Record.SetCommand(0x10000000, 0x10010000);
    EXPECT_EQ(Bytes(m_Record.frame, m_Record.frame + m_Record.length),
              (Bytes{0x5B, 0x00, 0x04, 0x10, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x01, 0x5D}));
    m_Record.BeginData();
    const uint8_t three[] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(m_Record.Append(0x10008000, 3, three), 0);
    m_Record.Finish();
    EXPECT_EQ(Bytes(m_Record.frame, m_Record.frame + m_Record.length),
              (Bytes{0x5B, 0x00, 0x04, 0x10, 0x00, 0x80, 0x00, 0xAA, 0xBB, 0xCC, 0x00, 0xF6, 0xBB, 0x5D}));
    m_Record.SetEmpty();
    EXPECT_EQ(Bytes(m_Record.frame, m_Record.frame + m_Record.length), (Bytes{0x5B, 0, 0, 0, 0, 0x5D}));
}

TEST_F(ImageTest, VersionLine) {
    struct {
        std::string text;
        const char* version;              // null: no version line
    } cases[] = {{"$VER,first", nullptr}, // byte 0 is never a candidate
                 {"xx$VER," + std::string(300, 'L') + std::string("\0 $VER#second\rtail", 18), "second"},
                 {std::string("xx$VER\0junk", 11), ""},
                 {"xxxx$VE", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 12));
        char version[256] = "stale";
        EXPECT_EQ(FindVersionLine(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), version,
                                  sizeof version),
                  c.version != nullptr);
        EXPECT_STREQ(version, c.version ? c.version : "");
    }
}

TEST_F(ImageTest, LoadReportsFailures) {
    LockedString cell;
    cell.Set(m_Folder.File("missing"));
    EXPECT_FALSE(LoadImage(m_Image, cell, m_Channel));
    EXPECT_EQ(cell.Changed(), 0);
    EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "ERROR: image open failed");
    ImageLoadTexts texts;
    texts.corrupted = "Datei defekt";
    EXPECT_FALSE(LoadImage(m_Image, m_Folder.Write("bad", std::string("hello\n")), m_Channel, texts));
    EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "Datei defekt");
    std::vector<std::string> log;
    while (auto line = m_Channel.m_LogQueue.Pop())
        log.push_back(line->substr(9));
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], "Open image file name - " + cell.Get());
    EXPECT_EQ(log[1], "ERROR: image open FAILED");
    EXPECT_EQ(log[4], "ERROR: image file corrupted");
}

} // namespace
