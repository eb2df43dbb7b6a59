#include "TestFiles.h"

#include "core/Channel.h"
#include "image/ImageFile.h"
#include "image/ImageSection.h"
#include "image/LoadImage.h"
#include "image/ProgramRecord.h"

#include "ImageWriter.h"

namespace {

std::vector<uint8_t> FrameBytes(const ProgramRecord& record) {
    return std::vector<uint8_t>(record.frame, record.frame + record.length);
}

// Checks a finished data frame against the wire layout, independently of the builder.
void ExpectWellFormed(const ProgramRecord& record) {
    ASSERT_GE(record.length, 6);
    const uint8_t* f = record.frame;
    uint16_t payload = static_cast<uint16_t>(record.length - 6);
    EXPECT_EQ(f[0], '[');
    EXPECT_EQ(f[record.length - 1], ']');
    EXPECT_EQ(payload % 2, 0);
    EXPECT_EQ((f[1] << 8 | f[2]) * 2, payload);
    uint16_t sum = 0;
    for (uint16_t i = 0; i < payload; i += 2)
        sum ^= static_cast<uint16_t>(f[3 + i] << 8 | f[4 + i]);
    EXPECT_EQ((f[3 + payload] << 8 | f[4 + payload]), sum);
    if (payload >= 4) {
        uint32_t address = static_cast<uint32_t>(f[3]) << 24 | f[4] << 16 | f[5] << 8 | f[6];
        EXPECT_EQ(address, record.frameAddress);
        EXPECT_EQ(payload, 4 + record.dataCount + (record.dataCount & 1));
    }
}

TEST(ProgramRecord, CommandDataAndEmptyFrames) {
    ProgramRecord record;
    record.dataCount = 77;
    record.SetCommand(0x10000000, 0x10010000);
    EXPECT_EQ(FrameBytes(record), (std::vector<uint8_t>{0x5B, 0x00, 0x04, 0x10, 0x00, 0x00, 0x00, 0x10, 0x01,
                                                        0x00, 0x00, 0x00, 0x01, 0x5D}));
    EXPECT_EQ(record.frameAddress, 0x10000000u);
    EXPECT_EQ(record.dataCount, 77); // untouched

    record.BeginData();
    const uint8_t three[] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(record.Append(0x10008000, 3, three), 0);
    record.Finish();
    EXPECT_EQ(FrameBytes(record), (std::vector<uint8_t>{0x5B, 0x00, 0x04, 0x10, 0x00, 0x80, 0x00, 0xAA, 0xBB,
                                                        0xCC, 0x00, 0xF6, 0xBB, 0x5D}));
    EXPECT_EQ(record.dataCount, 3);

    record.SetEmpty();
    EXPECT_EQ(FrameBytes(record), (std::vector<uint8_t>{0x5B, 0x00, 0x00, 0x00, 0x00, 0x5D}));
    EXPECT_EQ(record.frameAddress, 0u);
    EXPECT_EQ(record.dataCount, 3); // untouched
}

TEST(ProgramRecord, AppendClosesOnGapOverlapAndFullFrame) {
    ProgramRecord record;
    auto bytes = Pattern(3000, 1);
    record.BeginData();
    EXPECT_EQ(record.Append(0x1000, 16, bytes.data()), 0);
    // A gap: nothing taken, the bytes wait for the next frame.
    EXPECT_EQ(record.Append(0x1020, 16, bytes.data() + 16), 1);
    EXPECT_EQ(record.dataCount, 16);
    EXPECT_TRUE(record.continuation.flag);
    EXPECT_EQ(record.continuation.address, 0x1020u);
    EXPECT_EQ(record.continuation.count, 16);
    EXPECT_EQ(record.continuation.bytes[0], bytes[16]);

    // An overlap closes the frame just as well.
    record.BeginData();
    EXPECT_EQ(record.Append(0x2000, 16, bytes.data()), 0);
    EXPECT_FALSE(record.continuation.flag); // a new frame clears it
    EXPECT_EQ(record.Append(0x2008, 16, bytes.data()), 1);

    // Exactly 2048 bytes close the frame with nothing left over.
    record.BeginData();
    record.continuation.flag = false;
    EXPECT_EQ(record.Append(0x3000, 2048, bytes.data()), 1);
    EXPECT_EQ(record.dataCount, 2048);
    EXPECT_FALSE(record.continuation.flag);
    record.Finish();
    EXPECT_EQ(record.length, 2048 + 4 + 6);
    ExpectWellFormed(record);

    // An oversized append is split; the rest is held, bounded by the continuation's room.
    record.BeginData();
    EXPECT_EQ(record.Append(0x4000, 3000, bytes.data()), 1);
    EXPECT_EQ(record.dataCount, 2048);
    EXPECT_EQ(record.continuation.address, 0x4000u + 2048);
    EXPECT_EQ(record.continuation.count, 3000 - 2048);
    EXPECT_EQ(record.continuation.bytes[0], bytes[2048]);
}

// A stand-alone binary loader section: size bytes of pattern, its range word pair naming sectionSize bytes.
std::vector<uint8_t> BinaryLoader(size_t size, uint8_t seed, uint32_t sectionSize) {
    std::vector<uint8_t> loader = Pattern(size, seed);
    SetWord(loader, 32, SFL_BASE);
    SetWord(loader, 36, SFL_BASE + sectionSize);
    return loader;
}

using Frame = std::pair<uint32_t, std::vector<uint8_t>>;

std::vector<uint8_t> Joined(const std::vector<Frame>& frames) {
    std::vector<uint8_t> joined;
    for (const Frame& f : frames)
        joined.insert(joined.end(), f.second.begin(), f.second.end());
    return joined;
}

class FrameTest : public ::testing::Test {
protected:
    // Opens text or bytes as one stand-alone section.
    void OpenSection(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string path = m_Folder.File(name);
        WriteBytes(path, bytes);
        ASSERT_TRUE(m_Stream.Open(path, m_Channel));
        ASSERT_TRUE(m_Section.Open(m_Stream, 0));
        m_Section.Rewind(m_Stream);
    }
    // All data frames of the section until the one with dataCount 0.
    void OpenSection(const std::string& name, const std::string& text) {
        OpenSection(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::vector<Frame> Frames() {
        std::vector<Frame> frames;
        for (int guard = 0; guard < 10000; ++guard) {
            EXPECT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
            ExpectWellFormed(m_Record);
            if (m_Record.dataCount == 0)
                return frames;
            frames.emplace_back(
                m_Record.frameAddress,
                std::vector<uint8_t>(m_Record.frame + 7, m_Record.frame + 7 + m_Record.dataCount));
        }
        ADD_FAILURE() << "no end frame";
        return frames;
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    ImageStream m_Stream;
    ImageSection m_Section;
    ProgramRecord m_Record;
};

TEST_F(FrameTest, BinarySectionInBlocksOf2048) {
    const std::vector<uint8_t> loader = BinaryLoader(5000, 7, 5000);
    OpenSection("five.bin", loader);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    const size_t sizes[] = {2048, 2048, 904};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].second.size(), sizes[i]) << i;
        EXPECT_EQ(frames[i].first, SFL_BASE + 2048 * i) << i;
    }
    EXPECT_EQ(Joined(frames), loader);

    // A rewind starts over from the first byte.
    m_Section.Rewind(m_Stream);
    EXPECT_EQ(Frames().size(), 3u);
}

TEST_F(FrameTest, BinarySectionOfWholeBlocksHasNoShortFrame) {
    OpenSection("whole.bin", BinaryLoader(4096 + 100, 9, 4096)); // more file than section
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].second.size(), 2048u);

    // A file that ends before its section does: the frames stop where the file does.
    OpenSection("short.bin", BinaryLoader(3000, 9, 8192));
    frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].second.size(), 3000u - 2048);
}

TEST_F(FrameTest, SRecordGapStartsANewFrame) {
    std::string text =
        SLine(3, 0x1000, Pattern(16, 1)) + SLine(3, 0x1020, Pattern(16, 2)) + SLine(7, 0x1000, {});
    OpenSection("gap.s", text);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].first, 0x1000u);
    EXPECT_EQ(frames[0].second, Pattern(16, 1));
    EXPECT_EQ(frames[1].first, 0x1020u);
    EXPECT_EQ(frames[1].second, Pattern(16, 2));
}

TEST_F(FrameTest, SRecordLinesFillFramesAndSplitAcrossThem) {
    // 128 contiguous lines of 16 bytes: exactly one full frame, no continuation.
    std::string text;
    for (uint32_t i = 0; i < 128; ++i)
        text += SLine(3, 0x2000 + 16 * i, Pattern(16, static_cast<uint8_t>(i)));
    OpenSection("full.s", text);
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 2048);
    EXPECT_FALSE(m_Section.continuation.flag);
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 0);

    // Lines of 30 bytes: the 69th is split, 8 bytes close the frame and 22 open the next one.
    text.clear();
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < 100; ++i) {
        auto line = Pattern(30, static_cast<uint8_t>(i * 3));
        all.insert(all.end(), line.begin(), line.end());
        text += SLine(3, 0x10005800 + 30 * i, line);
    }
    OpenSection("split.s", text);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].second.size(), 2048u);
    EXPECT_EQ(frames[1].first, 0x10005800u + 68 * 30 + 8);
    EXPECT_EQ(frames[1].second.size(), 3000u - 2048);
    EXPECT_EQ(Joined(frames), all);
}

TEST_F(FrameTest, BadSRecordLineClosesTheFrame) {
    std::string text = SLine(3, 0x1000, Pattern(16, 1)) + SLine(7, 0x1000, {}) + "S3 bad line\r\n" +
                       SLine(3, 0x1010, Pattern(16, 2)) + "junk\r\n" + "junk\r\n" +
                       SLine(3, 0x1020, Pattern(16, 3));
    OpenSection("bad.s", text);
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 16);
    // The following call reads on after the bad line.
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.frameAddress, 0x1010u);
    EXPECT_EQ(m_Record.dataCount, 16);
    // A bad line right at the start of a frame gives a frame with no data: the end for the caller.
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 0);
}

TEST_F(FrameTest, StaleContinuationOfAReusedRecordIsIgnored) {
    std::string text = SLine(0, 0, {'e'}) + SLine(3, 0x1000, Pattern(4, 1)) + SLine(7, 0x1000, {});
    OpenSection("tiny.s", text);
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 4);
    // The caller's record still holds bytes of another section.
    m_Record.continuation.flag = true;
    m_Record.continuation.address = 0x9999;
    m_Record.continuation.count = 5;
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 0);
    EXPECT_FALSE(m_Section.continuation.flag);
    ASSERT_TRUE(m_Section.NextRecord(m_Record, m_Stream));
    EXPECT_EQ(m_Record.dataCount, 0);
}

TEST_F(FrameTest, ContainerFramesCoverTheReducedUnionFile) {
    // PFL, main firmware and nothing else; after the reduction one binary section spans the whole file.
    std::vector<uint8_t> file = UnionBinary(FLASH_BASE, 0x1000);
    file.resize(0x8000, 0xFF);
    auto fw = UnionBinary(MAIN_FW_BASE, 0x2000, false);
    file.insert(file.end(), fw.begin(), fw.end());
    SetWord(file, 0x8000 + 48, 0xFFFFFFFF);
    uint32_t y = XorOf(file, 0x8000, 0x8400);
    SetWord(file, 0x8400, 0);
    SetWord(file, 0x8404, y);
    SetWord(file, 0x8000 + 0x2000, 0);
    std::string path = m_Folder.File("union.bin");
    WriteBytes(path, file);
    CImageFile image;
    ASSERT_TRUE(image.OpenFile(path, m_Channel));
    ASSERT_TRUE(image.Parse());
    image.ReduceToOneSection();
    ASSERT_EQ(image.Count(), 1);
    EXPECT_EQ(image.Section(0).size, file.size());

    image.RewindSection(0);
    std::vector<uint8_t> joined;
    uint32_t expectAddress = FLASH_BASE;
    for (int guard = 0; guard < 100; ++guard) {
        ASSERT_TRUE(image.NextRecord(m_Record, 0));
        if (m_Record.dataCount == 0)
            break;
        EXPECT_EQ(m_Record.frameAddress, expectAddress);
        expectAddress += m_Record.dataCount;
        joined.insert(joined.end(), m_Record.frame + 7, m_Record.frame + 7 + m_Record.dataCount);
    }
    EXPECT_EQ(joined, file);

    // Format None and indexes past the array frame nothing.
    EXPECT_FALSE(image.NextRecord(m_Record, 3));
    image.Section(1).format = SectionFormat::None;
    EXPECT_FALSE(image.NextRecord(m_Record, 1));
    // A closed stream is a read error for a binary section.
    image.Close();
    image.RewindSection(0);
    EXPECT_FALSE(image.NextRecord(m_Record, 0));
}

} // namespace

namespace {

// An S3 line with no data bytes places nothing: it is not in the extent and never opens or ends a frame.
TEST(BlankSRecordLine, PlacesNothingAndCountsForNothing) {
    struct Case {
        const char* name;
        size_t beforeLine;    // the blank line goes before this 16-byte data line
        uint32_t blankOffset; // its address, from OPTIONS_BASE
    } cases[] = {
        {"first S3 line", 0, 0x10}, {"on a frame boundary", 128, 0x100}, {"past the data", 200, 0x4000}};
    Bytes data(0x1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + 5);
    TempFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = SRecordLineText(0, 0, nullptr, 0) + "\r\n";
        for (size_t line = 0; line * 16 < data.size(); ++line) {
            if (line == c.beforeLine)
                text += SRecordLineText(3, OPTIONS_BASE + c.blankOffset, nullptr, 0) + "\r\n";
            text +=
                SRecordLineText(3, OPTIONS_BASE + static_cast<uint32_t>(line * 16), &data[line * 16], 16) +
                "\r\n";
        }
        std::string path = folder.File("blank.s");
        WriteText(path, text);
        CChannel channel;
        CImageFile image;
        ASSERT_TRUE(LoadImage(image, path, channel));
        EXPECT_EQ(image.Section(0).fwId, FwId::Options);
        EXPECT_EQ(image.Section(0).start, OPTIONS_BASE);
        EXPECT_EQ(image.Section(0).size, data.size());
        image.RewindSection(0);
        ProgramRecord record;
        Bytes sent;
        for (int guard = 0; guard < 100 && image.NextRecord(record, 0) && record.dataCount != 0; ++guard) {
            EXPECT_EQ(record.frameAddress, OPTIONS_BASE + sent.size());
            sent.insert(sent.end(), record.frame + 7, record.frame + 7 + record.dataCount);
        }
        EXPECT_EQ(sent, data);
    }
}

} // namespace
