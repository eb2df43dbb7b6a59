#include "TestFiles.h"

#include "core/Channel.h"
#include "image/ImageStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <regex>

namespace {

class StreamTest : public ::testing::Test {
protected:
    // Writes bytes into the folder and opens them.
    void OpenBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = m_Folder.File(name);
        WriteBytes(path, bytes);
        ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    }
    void OpenText(const std::string& name, const std::string& text) {
        const std::string path = m_Folder.File(name);
        WriteText(path, text);
        ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    ImageStream m_Stream;
};

TEST_F(StreamTest, OpenRecordsSizeNameAndCreationTime) {
    std::string path = m_Folder.File("plain.bin");
    WriteBytes(path, Pattern(1000, 1));
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    EXPECT_EQ(m_Stream.GetState(), ImageStream::State::Open);
    EXPECT_EQ(m_Stream.Size(), 1000u);
    EXPECT_EQ(std::string(m_Stream.Name()), path);
    ASSERT_TRUE(m_Stream.HasCreationTime());
    const FileTime& t = m_Stream.CreationTime();
    EXPECT_GE(t.year, 2020);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
    EXPECT_TRUE(t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60);

    // One log line: the C library's fixed text of the local time, line feed included.
    auto line = m_Channel.m_LogQueue.Pop();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(std::regex_match(
        *line,
        std::regex(
            "\\d\\d:\\d\\d:\\d\\d\t[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")))
        << *line;
    char expect[16];
    std::snprintf(expect, sizeof expect, " %d\n", t.year);
    EXPECT_NE(line->find(expect), std::string::npos);
    EXPECT_FALSE(m_Channel.m_LogQueue.Pop().has_value());

    m_Stream.Close();
    EXPECT_EQ(m_Stream.GetState(), ImageStream::State::Closed);
}

TEST_F(StreamTest, OpenRefusesMissingFilesFoldersAndOverlongNames) {
    EXPECT_FALSE(m_Stream.Open(m_Folder.File("missing.bin"), m_Channel));
    EXPECT_EQ(m_Stream.GetState(), ImageStream::State::OpenFailed);
    // A folder opens as a C stream on Linux but is no image.
    EXPECT_FALSE(m_Stream.Open(m_Folder.Path(), m_Channel));
    EXPECT_EQ(m_Stream.GetState(), ImageStream::State::OpenFailed);
    // The name field holds 511 characters; a longer path is refused rather than cut.
    std::string longPath = m_Folder.Path() + "/" + std::string(600, 'x');
    EXPECT_FALSE(m_Stream.Open(longPath, m_Channel));
    EXPECT_EQ(m_Stream.GetState(), ImageStream::State::OpenFailed);
    EXPECT_STREQ(m_Stream.Name(), "");
    // A failed open logs nothing.
    EXPECT_FALSE(m_Channel.m_LogQueue.Pop().has_value());
    // Devices and pipes are no image files (a pipe could block the reader).
    EXPECT_FALSE(m_Stream.Open("/dev/null", m_Channel));
}

TEST_F(StreamTest, FifoIsRefusedWithoutWaitingForAWriter) {
    const std::string fifo = m_Folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] { return m_Stream.Open(fifo, m_Channel); });
    if (opened.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "Open is blocked on the FIFO";
        // Become the writer it waits for, so that the test can end.
        close(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    }
    EXPECT_FALSE(opened.get());
}

TEST_F(StreamTest, SeekStaysInsideTheFile) {
    std::string path = m_Folder.File("seek.bin");
    WriteBytes(path, Pattern(100, 5));
    EXPECT_FALSE(m_Stream.Seek(0)); // not open
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    EXPECT_TRUE(m_Stream.Seek(0));
    EXPECT_TRUE(m_Stream.Seek(99));
    EXPECT_FALSE(m_Stream.Seek(100)); // the end is no position to read from
    EXPECT_FALSE(m_Stream.Seek(0x1'0000'0000ull + 5));
    ASSERT_TRUE(m_Stream.Seek(10));
    uint8_t b = 0;
    uint32_t count = 0;
    ASSERT_EQ(m_Stream.Read(&b, 1, count), ReadResult::Ok);
    EXPECT_EQ(b, Pattern(100, 5)[10]);
}

TEST_F(StreamTest, ReadReportsOkEndAndError) {
    std::string path = m_Folder.File("read.bin");
    auto data = Pattern(10, 9);
    WriteBytes(path, data);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint32_t count = 99;
    EXPECT_EQ(m_Stream.Read(buffer, 4, count), ReadResult::Error);
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    ASSERT_TRUE(m_Stream.Seek(6));
    // Fewer bytes than asked is still Ok; the rest of the buffer keeps its content.
    EXPECT_EQ(m_Stream.Read(buffer, 16, count), ReadResult::Ok);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(buffer[0], data[6]);
    EXPECT_EQ(buffer[3], data[9]);
    EXPECT_EQ(buffer[4], 0xEE);
    EXPECT_EQ(m_Stream.Read(buffer, 16, count), ReadResult::End);
    EXPECT_EQ(count, 0u);

    // A word cut by the end of the file reads its missing bytes as zero.
    ASSERT_TRUE(m_Stream.Seek(8));
    uint32_t word = 0xFFFFFFFF;
    EXPECT_EQ(m_Stream.ReadWord(word), ReadResult::Ok);
    EXPECT_EQ(word, static_cast<uint32_t>(data[8] | data[9] << 8));
    EXPECT_EQ(m_Stream.ReadWord(word), ReadResult::End);
}

TEST_F(StreamTest, XorWordsMatchesWordByWordReading) {
    const auto data = Pattern(10003, 77); // not a multiple of 4, more than one block
    OpenBytes("xor.bin", data);
    for (uint64_t words : {0ull, 1ull, 1024ull, 1025ull, 2500ull, 2501ull, 2502ull, 5000ull}) {
        ASSERT_TRUE(m_Stream.Seek(0));
        uint32_t expect = 0;
        ReadResult expectResult = ReadResult::Ok;
        for (uint64_t k = 0; k < words; ++k) {
            uint32_t w = 0;
            expectResult = m_Stream.ReadWord(w);
            if (expectResult != ReadResult::Ok)
                break;
            expect ^= w;
        }
        uint32_t expectPosition = static_cast<uint32_t>(std::min<uint64_t>(words * 4, data.size()));
        ASSERT_TRUE(m_Stream.Seek(0));
        uint32_t x = 0;
        ReadResult r = m_Stream.XorWords(words, x);
        EXPECT_EQ(r, expectResult) << words;
        if (r == ReadResult::Ok) {
            EXPECT_EQ(x, expect) << words;
            // Both leave the stream after the last word read.
            uint8_t b = 0;
            uint32_t count = 0;
            ReadResult next = m_Stream.Read(&b, 1, count);
            if (expectPosition < data.size()) {
                ASSERT_EQ(next, ReadResult::Ok);
                EXPECT_EQ(b, data[expectPosition]);
            } else {
                EXPECT_EQ(next, ReadResult::End);
            }
        }
    }
}

class SRecordTest : public StreamTest {
protected:
    ReadResult ReadOne(const std::string& text, SRecordLine& line) {
        OpenText("one.s", text);
        return m_Stream.ReadSRecord(line);
    }
};

TEST_F(SRecordTest, ParsesEachAddressWidth) {
    // Lower-case digits are as good as upper-case ones.
    std::string lower = SLine(3, 0xABCDEF01, {0xAB, 0xCD});
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    lower[0] = 'S';
    struct Case {
        std::string text;
        int type;
        uint32_t address;
        std::vector<uint8_t> data;
        bool end = false; // the count of an end record is not looked at
    } cases[] = {
        {SLine(3, 0x10005800, {1, 2, 3}), 3, 0x10005800, {1, 2, 3}},
        {SLine(2, 0x123456, {9, 8}), 2, 0x123456, {9, 8}},
        {SLine(1, 0xBEEF, {7}), 1, 0xBEEF, {7}},
        {SLine(7, 0x00201000, {}), 7, 0x00201000, {}, true},
        {SLine(0, 0, {'h', 'd', 'r'}), 0, 0, {}}, // a header's text is no data
        {lower, 3, 0xABCDEF01, {0xAB, 0xCD}},
        // A 16-bit S9 end record takes its address from the digits before the checksum only.
        {"S9030000FC\r\n", 9, 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SRecordLine line;
        ASSERT_EQ(ReadOne(c.text, line), ReadResult::Ok);
        EXPECT_EQ(line.type, c.type);
        EXPECT_EQ(line.address, c.address);
        if (c.end)
            continue;
        ASSERT_EQ(line.count, static_cast<int>(c.data.size()));
        EXPECT_EQ(std::vector<uint8_t>(line.data, line.data + line.count), c.data);
    }
}

TEST_F(SRecordTest, RejectsBadLines) {
    SRecordLine line;
    std::string good = SLine(3, 0x1000, {1, 2, 3, 4});
    std::string badSum = good;
    badSum[good.size() - 3] = badSum[good.size() - 3] == '0' ? '1' : '0';
    EXPECT_EQ(ReadOne(badSum, line), ReadResult::Error);
    EXPECT_EQ(ReadOne("X" + good.substr(1), line), ReadResult::Error);
    // Count too small to hold the address and checksum of an S3 line.
    EXPECT_EQ(ReadOne("S3031000EC\r\n", line), ReadResult::Error);
    EXPECT_EQ(ReadOne("S300FF\r\n", line), ReadResult::Error);
    // Count promises more bytes than the line has.
    EXPECT_EQ(ReadOne("S30900001000010203\r\n", line), ReadResult::Error);
    // A non-hex digit.
    std::string nonHex = good;
    nonHex[12] = 'G';
    EXPECT_EQ(ReadOne(nonHex, line), ReadResult::Error);
    EXPECT_EQ(ReadOne("S\n", line), ReadResult::Error);
    EXPECT_EQ(ReadOne("", line), ReadResult::End);
}

TEST_F(SRecordTest, LineLengthLimitCountsTheLineEnd) {
    SRecordLine line;
    // 32 data bytes make 78 characters: fine at the end of the file, too long with a line feed.
    std::string s32 = SLine(3, 0x2000, Pattern(32, 1));
    std::string bare = s32.substr(0, s32.size() - 2);
    ASSERT_EQ(bare.size(), 78u);
    EXPECT_EQ(ReadOne(bare, line), ReadResult::Ok);
    EXPECT_EQ(line.count, 32);
    EXPECT_EQ(ReadOne(bare + "\n", line), ReadResult::Error);
    // 16 data bytes with CR LF: 48 characters.
    std::string s16 = SLine(3, 0x2000, Pattern(16, 1));
    ASSERT_EQ(s16.size(), 48u);
    EXPECT_EQ(ReadOne(s16, line), ReadResult::Ok);
    // A line longer than the reader's buffer fails, and so does its remainder.
    OpenText("long.s", "S3" + std::string(400, '0') + "\n" + s16);
    EXPECT_EQ(m_Stream.ReadSRecord(line), ReadResult::Error);
    EXPECT_EQ(m_Stream.ReadSRecord(line), ReadResult::Error);
}

TEST_F(SRecordTest, WindowGathersOnlyItsRange) {
    OpenText("window.s", SLine(0, 0, {'x'}) + SLine(3, 0x0FF8, Pattern(16, 1)) + // straddles low
                             SLine(3, 0x1010, Pattern(16, 2)) +
                             SLine(1, 0x1000, Pattern(4, 9)) +                 // S1 ignored
                             SLine(3, 0x1038, Pattern(16, 3)) +                // straddles high
                             "garbage\r\n" + SLine(3, 0x1000, Pattern(8, 4))); // after a bad line
    uint8_t window[64];
    std::memset(window, 0xAA, sizeof window);
    m_Stream.ReadSRecordWindow(window, 0x1000);
    auto second = Pattern(16, 2);
    auto third = Pattern(16, 3);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(window[i], 0) << i; // lines starting below the window are passed over
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(window[0x10 + i], second[i]);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(window[0x38 + i], third[i]);
    for (int i = 0x20; i < 0x38; ++i)
        EXPECT_EQ(window[i], 0);
}

} // namespace
