// Image files as the program reads, loads and frames them: union, Options and loader files, S-records.

#include "TestImages.h"

#include "core/Channel.h"
#include "core/Platform.h"
#include "image/ImageSection.h"
#include "image/LoadImage.h"
#include "image/Sha256.h"

#include <filesystem>
#include <functional>
#include <future>
#include <regex>

namespace {

using Frame = std::pair<uint32_t, size_t>; // offset from the section's start, data bytes

class ImageTest : public ::testing::Test {
protected:
    bool Load(const auto& bytes) {
        m_Channel.m_StatusQueue.Clear();
        return LoadImage(m_Image, m_Folder.Write("image", bytes), m_Channel);
    }
    bool Open(const auto& bytes) { return m_Stream.Open(m_Folder.Write("file", bytes), m_Channel); }
    // Every data frame of the section until the empty one, written into a flash image of the section.
    Bytes Frames(ImageSection& section, ImageStream& stream, std::vector<Frame>* frames = nullptr) {
        Bytes flash;
        section.Rewind(stream);
        for (int guard = 0; guard < 4096 && section.NextRecord(m_Record, stream) && m_Record.dataCount;
             ++guard) {
            const uint32_t at = m_Record.frameAddress - section.start;
            if (at > 0x400000) {
                ADD_FAILURE() << "frame outside the section";
                break;
            }
            flash.resize(std::max<size_t>(flash.size(), at + m_Record.dataCount));
            std::copy(m_Record.frame + 7, m_Record.frame + 7 + m_Record.dataCount, flash.begin() + at);
            if (frames)
                frames->emplace_back(at, m_Record.dataCount);
        }
        return flash;
    }
    Bytes Flash() { return Frames(m_Image.Section(0), m_Image.Stream()); }

    CTestDir m_Folder;
    CChannel m_Channel;
    CImageFile m_Image;
    ImageStream m_Stream;
    ImageSection m_Loader;
    ProgramRecord m_Record;
};

template <class P> Bytes Build(bool (*build)(const P&, Bytes&, std::string&), const P& params) {
    Bytes file;
    std::string error;
    EXPECT_TRUE(build(params, file, error)) << error;
    return file;
}
Bytes Union(const UnionParams& p) {
    return Build(BuildUnionImage, p);
}
Bytes Options(const OptionsParams& p) {
    return Build(BuildOptionsImage, p);
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
std::string Line(int type, uint32_t address, const Bytes& data, const char* end = "\r\n") {
    return SRecordLineText(type, address, data.data(), static_cast<uint32_t>(data.size())) + end;
}

// The bytes are read once: whatever happens to the file after the load, the frames carry what was checked,
// and the digest is that of those bytes. One snapshot serves several containers.
TEST_F(ImageTest, TheLoadedBytesAreTheImage) {
    const Bytes file = Union({.fwSize = 0x8000});
    const std::string path = m_Folder.Write("image", file);
    const std::string sha = Sha256Hex(file.data(), file.size());
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    EXPECT_EQ(m_Image.Sha256(), sha);
    bool logged = false;
    while (auto line = m_Channel.m_LogQueue.Pop())
        logged = logged || line->substr(9) == "Image SHA-256: " + sha;
    EXPECT_TRUE(logged);

    const Bytes other = Union({.fwSize = 0x8000, .seed = 9});
    std::string error;
    ASSERT_TRUE(WriteFile(path + ".new", other.data(), other.size(), error)) << error;
    const std::function<void()> changes[] = {
        [&] { std::filesystem::resize_file(path, 0x9000); }, [&] { OverwriteInPlace(path, other); },
        [&] { std::filesystem::rename(path + ".new", path); }}; // replaced by another file
    for (const auto& change : changes) {
        change();
        EXPECT_EQ(Flash(), file);
        EXPECT_EQ(m_Image.Sha256(), sha);
    }

    auto snapshot = std::make_shared<ImageSnapshot>();
    ASSERT_TRUE(ReadImageSnapshot(path, *snapshot, error)) << error;
    EXPECT_EQ(snapshot->bytes, other);
    EXPECT_EQ(snapshot->size, other.size());
    EXPECT_EQ(snapshot->sha256, Sha256Hex(other.data(), other.size()));
    EXPECT_TRUE(snapshot->hasCreationTime);
    ASSERT_TRUE(std::filesystem::remove(path));
    CImageFile second;
    std::shared_ptr<const ImageSnapshot> shared = snapshot;
    ASSERT_TRUE(LoadImage(m_Image, shared, m_Channel));
    ASSERT_TRUE(LoadImage(second, shared, m_Channel));
    EXPECT_EQ(Frames(second.Section(0), second.Stream()), other);
    EXPECT_EQ(Flash(), other);
    EXPECT_EQ(second.Sha256(), snapshot->sha256);
    EXPECT_FALSE(LoadImage(second, std::shared_ptr<const ImageSnapshot>(), m_Channel));
}

TEST_F(ImageTest, ReadsStayInsideTheFile) {
    Bytes data(10003, 0); // more than one block of XorWords, and a cut last word
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_TRUE(Open(data));
    EXPECT_FALSE(m_Stream.Seek(10003)); // the end is no place to read from
    for (uint32_t words : {1u, 1025u, 2500u, 2501u, 2502u}) {
        SCOPED_TRACE(words);
        uint32_t x = 0, count = 0;
        uint8_t next = 0;
        ASSERT_TRUE(m_Stream.Seek(0));
        const size_t bytes = words * 4u; // a cut last word reads as zeros; a word past the end is End
        ASSERT_EQ(m_Stream.XorWords(words, x), bytes < data.size() + 4 ? ReadResult::Ok : ReadResult::End);
        EXPECT_EQ(x, bytes < data.size() + 4 ? XorWordsOf(data, 0, std::min(bytes, data.size())) : x);
        EXPECT_EQ(m_Stream.Read(&next, 1, count), bytes < data.size() ? ReadResult::Ok : ReadResult::End);
        EXPECT_EQ(next, bytes < data.size() ? data[bytes] : 0);
    }
}

TEST_F(ImageTest, SRecordLines) {
    std::string lower = Line(3, 0xABCDEF01, {0xAB, 0xCD}), badSum = Line(3, 0x1000, {1, 2, 3, 4});
    std::transform(lower.begin() + 1, lower.end(), lower.begin() + 1, [](char c) { return std::tolower(c); });
    badSum[badSum.size() - 3] ^= 1;
    const Bytes b32(32, 0x3C);
    struct {
        std::string text;
        ReadResult result;
        int type = 0;
        uint32_t address = 0;
        Bytes data = {};
    } cases[] = {
        {Line(3, 0x10005800, {1, 2, 3}), ReadResult::Ok, 3, 0x10005800, {1, 2, 3}},
        {Line(2, 0x123456, {9, 8}), ReadResult::Ok, 2, 0x123456, {9, 8}},
        {Line(1, 0xBEEF, {7}), ReadResult::Ok, 1, 0xBEEF, {7}},
        {Line(7, 0x201000, {}), ReadResult::Ok, 7, 0x201000},
        {lower, ReadResult::Ok, 3, 0xABCDEF01, {0xAB, 0xCD}},
        {"S9030000FC\r\n", ReadResult::Ok, 9, 0}, // a 16-bit end record: its own digits only
        // 32 data bytes make 78 characters: the most a line holds with its line end.
        {Line(3, 0x2000, b32, ""), ReadResult::Ok, 3, 0x2000, b32},
        {Line(3, 0x2000, b32, "\n"), ReadResult::Error},
        {badSum, ReadResult::Error},
        {"X" + Line(3, 0x1000, {1}).substr(1), ReadResult::Error},
        {"S3031000EC\r\n", ReadResult::Error},         // no room for the address
        {"S30900001000010203\r\n", ReadResult::Error}, // fewer bytes than its count
        {"S3050000100G\r\n", ReadResult::Error},
        {"", ReadResult::End},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SRecordLine line;
        ASSERT_TRUE(Open(c.text));
        ASSERT_EQ(m_Stream.ReadSRecord(line), c.result);
        if (c.result == ReadResult::Ok) {
            EXPECT_EQ(line.type, c.type);
            EXPECT_EQ(line.address, c.address);
            EXPECT_EQ(Bytes(line.data, line.data + (c.type <= 3 ? line.count : 0)), c.data);
        }
    }
    // A window gathers the S3 data inside its range up to the first bad line, and nothing around it.
    const Bytes d(16, 0xD1);
    ASSERT_TRUE(Open(Line(3, 0x0FF8, d) + Line(3, 0x1010, d) + Line(1, 0x1000, d) + Line(3, 0x1038, d) +
                     "bad\r\n" + Line(3, 0x1000, d)));
    Bytes window(65, 0xAA), expect(65, 0); // 64 bytes and a guard
    m_Stream.ReadSRecordWindow(std::span(window).first(64), 0x1000);
    std::fill_n(expect.begin() + 0x10, 16, 0xD1);
    std::fill_n(expect.begin() + 0x38, 8, 0xD1);
    expect[64] = 0xAA;
    EXPECT_EQ(window, expect);
}

TEST_F(ImageTest, UnionFilesLoadAndFrameAsAWhole) {
    struct {
        const char* name;
        UnionParams params;
        uint8_t sections = 2;
    } cases[] = {{"two sections", {}},
                 {"long module header", {.firstModule = 0x400}},
                 {"module listed twice", {.modules = 3, .repeats = 1}},
                 {"largest sizes", {.pflSize = 0x4000, .fwSize = 0x3F7FFC, .modules = 24}},
                 {"without last checksum", {.lastChecksum = false}},
                 {"with loader", {.withSfl = true, .sfl = {.version = "SFLD_9"}}, 3},
                 {"loader without last checksum", {.withSfl = true, .lastChecksum = false}, 3}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.params.pflMajor = 0x1A;
        c.params.pflMinor = 3;
        c.params.fwVersion = "B7x2";
        const Bytes file = Union(c.params);
        ASSERT_TRUE(Load(file));
        EXPECT_STREQ(m_Image.Section(0).version, "1A.3");
        EXPECT_STREQ(m_Image.Section(1).version, "B7x2");
        EXPECT_STREQ(m_Image.Section(2).version, c.sections == 3 ? c.params.sfl.version.c_str() : "");
        EXPECT_EQ(m_Image.Section(c.sections - 1).checkState,
                  c.params.lastChecksum ? CheckState::Verified : CheckState::NoChecksum);
        // The whole file is one image from the PFL's start, in full frames and one short one at most.
        ASSERT_EQ(m_Image.Count(), 1);
        std::vector<Frame> frames;
        EXPECT_EQ(Frames(m_Image.Section(0), m_Image.Stream(), &frames), file);
        EXPECT_EQ(frames.size(), (file.size() + 2047) / 2048);
    }
}

TEST_F(ImageTest, DamagedUnionFilesAreCorrupt) {
    const Bytes good = Union({.modules = 3}), withSfl = Union({.withSfl = true});
    const size_t fw = MAIN_FW_OFFSET, w1 = fw + 0x100 + 3 * 0x54E8; // the closing words follow module 3
    const std::pair<const char*, std::vector<size_t>> flips[] = {
        {"PFL image", {0x20}},
        {"PFL checksum", {0x2000}},
        {"table header", {fw + 0x10}},
        {"module", {fw + 0x2000, w1 + 4}}, // the closing words still agree: the module's own word decides
        {"closing word", {w1}},
        {"table end", {fw + 84}}};
    for (const auto& [name, at] : flips) {
        SCOPED_TRACE(name);
        Bytes file = good;
        for (size_t i : at)
            file[i] ^= 0x10;
        EXPECT_FALSE(Load(file));
        EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "ERROR: corrupted file");
    }
    Bytes noEnd = good; // zero entries to the end of the 1024 bytes the table must end in
    std::fill(noEnd.begin() + fw + 84, noEnd.begin() + fw + 1024, 0);
    // No table end, cut in the firmware, nothing at 0x8000, the main firmware alone, the loader alone.
    for (const Bytes& file :
         {noEnd, Bytes(good.begin(), good.begin() + fw + 0x8000), Bytes(good.begin(), good.begin() + 0x6000),
          Bytes(good.begin() + fw, good.end()), Bytes(withSfl.begin() + fw + 0x10004, withSfl.end())})
        EXPECT_FALSE(Load(file));
    // An S-record PFL identifies, with its version in decimal, but is no union file.
    const Bytes pfl = Union({.pflMajor = 0x1A, .pflMinor = 3});
    EXPECT_FALSE(Load(ToSRecords(Bytes(pfl.begin(), pfl.begin() + 0x2000), FLASH_BASE, FLASH_BASE, "p")));
    EXPECT_EQ(m_Image.Section(0).fwId, FwId::Pfl);
    EXPECT_STREQ(m_Image.Section(0).version, "26.3");
}

TEST_F(ImageTest, UnionSectionAddressRange) {
    const std::tuple<uint32_t, uint32_t, bool> cases[] = {
        {0x1FFFFF, 0x200400, false},        {0x200000, 0x200400, true},      {0x103FFC00, FLASH_END, true},
        {0x103FFC01, FLASH_END + 1, false}, {0x10000000, 0x10000000, false}, {0x10000000, 0x10000004, false}};
    for (const auto& [start, end, valid] : cases) {
        SCOPED_TRACE(start);
        Bytes file = Options({.size = 0x400, .checksum = false});
        PutWord(file, 36, start);
        PutWord(file, 40, end);
        UnionSection section;
        ASSERT_TRUE(Open(file));
        EXPECT_EQ(section.Open(m_Stream, 0), valid);
    }
}

TEST_F(ImageTest, OptionsFiles) {
    const Bytes image = Options({.serial = "TZ5X123", .size = 0x400, .checksum = false});
    Bytes withSum = image, trailing, wrongSum = image, serial64 = Options({.serial = std::string(64, 'Q')});
    PutWord(withSum, 0x400, XorWordsOf(image, 0, 0x400));
    trailing = withSum;
    trailing.resize(0x4000, 0x77); // 16 KiB from OPTIONS_BASE would reach the main firmware
    wrongSum.push_back(1);         // a checksum word cut short, and wrong
    Bytes serial65 = serial64;
    serial65[84 + 64] = 'Q';
    PutWord(serial65, 0x800, XorWordsOf(serial65, 0, 0x800));
    const Bytes big = Options({.size = 0x1800});
    const std::string sImage = ToSRecords(Bytes(big.begin(), big.end() - 4), OPTIONS_BASE, 0, "o");
    const Bytes part(big.begin(), big.begin() + 0x1700);
    struct {
        const char* name;
        Bytes file, programmed;
        std::string serial = "TZ5X123";
    } cases[] = {
        {"no checksum", image, image},
        {"checksum", withSum, withSum},
        {"trailing bytes", trailing, withSum},
        {"serial of 64", serial64, serial64, std::string(64, 'Q')},
        {"serial of 65", serial65, serial65, ""},
        {"largest", big, big, "TZ5A00001234"},
        {"S-records: the extent of the data", Text(sImage), Bytes(big.begin(), big.end() - 4),
         "TZ5A00001234"},
        // What follows the bad line after the entry is neither checked nor programmed.
        // inside a frame, not at its start
        {"S-records: lines after the entry and a bad line",
         Text(ToSRecords(part, OPTIONS_BASE, 0, "o") + "S3 bad\r\n" + Line(3, 0x10300000, Bytes(16, 0x42))),
         part, "TZ5A00001234"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Load(c.file));
        EXPECT_EQ(m_Image.Section(0).fwId, FwId::Options);
        EXPECT_EQ(c.serial, m_Image.Section(0).optionsSerial);
        EXPECT_EQ(Flash(), c.programmed);
    }
    EXPECT_FALSE(Load(wrongSum));
}

// An S3 line with no data bytes places nothing: it is not in the extent and never opens or ends a frame.
TEST_F(ImageTest, BlankSRecordLinePlacesNothing) {
    const std::tuple<const char*, size_t, uint32_t> cases[] = {
        {"first S3 line", 0, 0x10}, {"on a frame boundary", 128, 0x100}, {"past the data", 200, 0x4000}};
    const Bytes data = Options({.size = 0x1000, .checksum = false});
    for (const auto& [name, before, offset] : cases) {
        SCOPED_TRACE(name);
        std::string text;
        for (size_t line = 0; line * 16 < data.size(); ++line) {
            if (line == before)
                text += Line(3, OPTIONS_BASE + offset, {});
            text += Line(3, OPTIONS_BASE + static_cast<uint32_t>(line * 16),
                         Bytes(data.begin() + line * 16, data.begin() + line * 16 + 16));
        }
        ASSERT_TRUE(Load(text));
        EXPECT_EQ(m_Image.Section(0).start, OPTIONS_BASE);
        EXPECT_EQ(m_Image.Section(0).size, data.size());
        EXPECT_EQ(Flash(), data);
    }
}

TEST_F(ImageTest, LoaderFilesFrameTheirLines) {
    auto lines = [](uint32_t address, size_t count, size_t length) {
        std::string text;
        for (size_t i = 0; i < count; ++i)
            text += Line(3, address + static_cast<uint32_t>(i * length), Bytes(length, 0x5A));
        return text;
    };
    Bytes binary = Build(BuildSflImage, {.size = 4096, .plainForm = true}), backwards = binary;
    PutWord(backwards, 36, SFL_BASE - 4);
    struct {
        const char* name;
        std::string text;
        std::vector<Frame> frames; // empty: the file is refused
        uint32_t size = 0;
    } cases[] = {
        {"gap", lines(0x1000, 1, 16) + lines(0x1020, 1, 16), {{0, 16}, {0x20, 16}}, 0x30},
        {"overlap", lines(0x1000, 2, 16) + lines(0x1008, 1, 16), {{0, 32}, {8, 16}}, 0x20},
        {"128 lines of 16", lines(0x2000, 128, 16) + Line(7, 0x2000, {}), {{0, 2048}}, 2048},
        {"lines of 30 split", lines(0x2000, 100, 30), {{0, 2048}, {2048, 952}}, 3000},
        {"bad line after the entry", lines(0x2000, 2, 16) + Line(7, 0, {}) + "S3 bad\r\n", {{0, 32}}, 0x20},
        {"bad line before the entry", lines(0x2000, 2, 16) + "S3 bad\r\n" + Line(7, 0x2000, {}), {}},
        {"no data", Line(0, 0, {'x'}) + Line(7, 0x2000, {}), {}},
        {"past 4 GiB", Line(3, 0xFFFFFFF8, Bytes(16, 1)), {}},
        {"binary", {binary.begin(), binary.end()}, {{0, 2048}, {2048, 2048}}, 4096},
        {"binary ending below its start", {backwards.begin(), backwards.end()}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Open(c.text) && m_Loader.Open(m_Stream, 0) &&
                      m_Loader.format == (c.text[0] == 'S' ? SectionFormat::SRecord : SectionFormat::Binary),
                  !c.frames.empty());
        if (!c.frames.empty()) {
            std::vector<Frame> frames;
            EXPECT_EQ(Frames(m_Loader, m_Stream, &frames).size(), c.size);
            EXPECT_EQ(m_Loader.size, c.size);
            EXPECT_EQ(frames, c.frames);
        }
    }
    // After a gap the next frame goes on with the following line, but nothing after the bad line that ended
    // the check is framed; whatever the caller's record still holds from another section is no continuation.
    ASSERT_TRUE(Open(lines(0x1000, 1, 16) + lines(0x1040, 1, 4) + Line(7, 0x1000, {}) + "junk\r\n" +
                     lines(0x1010, 1, 16) + lines(0x9000, 1, 4)));
    ASSERT_TRUE(m_Loader.Open(m_Stream, 0));
    m_Loader.Rewind(m_Stream);
    for (uint32_t address : {0x1000u, 0x1040u, 0u, 0u}) {
        ASSERT_TRUE(m_Loader.NextRecord(m_Record, m_Stream));
        EXPECT_EQ(m_Record.frameAddress, address);
        m_Record.continuation = {.flag = true, .address = 0x9999, .count = 5};
    }
    EXPECT_FALSE(m_Loader.continuation.flag);
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
    const std::pair<std::string, const char*> cases[] = {
        {"$VER,first", nullptr}, // byte 0 is never a candidate
        {"xx$VER," + std::string(300, 'L') + std::string("\0 $VER#second\rtail", 18), "second"},
        {std::string("xx$VER\0junk", 11), ""}, // nothing after "$VER" in its text
        {"xxxx$VE", nullptr}};
    for (const auto& [text, expect] : cases) {
        char version[256] = "stale";
        EXPECT_EQ(FindVersionLine(reinterpret_cast<const uint8_t*>(text.data()), text.size(), version, 256),
                  expect != nullptr);
        EXPECT_STREQ(version, expect ? expect : "");
    }
}

TEST_F(ImageTest, LoadTakesThePathCellAndTranslatedTexts) {
    LockedString cell;
    cell.Set(m_Folder.File("missing"));
    ImageLoadTexts texts;
    texts.openFailed = "Datei fehlt";
    EXPECT_FALSE(LoadImage(m_Image, cell, m_Channel, texts));
    EXPECT_EQ(cell.Changed(), 0);
    // The cause in the system's own words, as it gives them for this file.
    FileFacts facts;
    EXPECT_EQ(OpenRegularFile(cell.Get(), facts), nullptr);
    ASSERT_FALSE(facts.error.empty());
    EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "Datei fehlt: " + facts.error);
    EXPECT_EQ(m_Channel.m_LogQueue.Pop().value_or("").substr(9), "Open image file name - " + cell.Get());
}

} // namespace
