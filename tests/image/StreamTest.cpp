// The image file reader: opening, bounded reads, S-record lines.

#include "TempFolder.h"

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
    ReadResult ReadLine(const std::string& text, SRecordLine& line) {
        EXPECT_TRUE(m_Stream.Open(m_Folder.Write("line.s", text), m_Channel));
        return m_Stream.ReadSRecord(line);
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    ImageStream m_Stream;
};

std::string Line(int type, uint32_t address, const Bytes& data, const char* end = "\r\n") {
    return SRecordLineText(type, address, data.data(), static_cast<uint32_t>(data.size())) + end;
}

Bytes Counting(size_t n, uint8_t seed) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 13);
    return data;
}

TEST_F(StreamTest, OpenLogsTheCreationTime) {
    const std::string path = m_Folder.Write("a.bin", Bytes(1000, 7));
    ASSERT_TRUE(m_Stream.Open(path, m_Channel));
    EXPECT_EQ(m_Stream.Size(), 1000u);
    EXPECT_EQ(m_Stream.Name(), path);
    auto line = m_Channel.m_LogQueue.Pop();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(std::regex_match(
        *line, std::regex("..:..:..\t[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")))
        << *line;
    EXPECT_EQ(line->substr(line->size() - 5, 4), std::to_string(m_Stream.CreationTime().year));
}

TEST_F(StreamTest, OpenRefusesWhatIsNoRegularFileWithoutBlocking) {
    const std::string fifo = m_Folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A path longer than the name field, of a file that exists: refused rather than cut.
    const std::string deep = m_Folder.File(std::string(200, 'a') + "/" + std::string(200, 'b'));
    std::filesystem::create_directories(deep);
    const std::string longPath =
        m_Folder.Write(deep.substr(m_Folder.m_Path.size() + 1) + "/" + std::string(200, 'c'), Bytes(64, 1));
    for (const std::string& path :
         {m_Folder.File("missing"), m_Folder.m_Path, fifo, std::string("/dev/null"), longPath}) {
        SCOPED_TRACE(path.substr(0, 80));
        auto opened = std::async(std::launch::async, [&] { return m_Stream.Open(path, m_Channel); });
        if (opened.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "Open blocks";
            close(open(fifo.c_str(), O_WRONLY | O_CLOEXEC)); // the writer it waits for, so the test can end
        }
        EXPECT_FALSE(opened.get());
        EXPECT_FALSE(m_Stream.IsOpen());
    }
    EXPECT_FALSE(m_Channel.m_LogQueue.Pop().has_value());
}

TEST_F(StreamTest, ReadsStayInsideTheFile) {
    const Bytes data = Counting(10003, 5); // more than one block of XorWords, a cut last word
    ASSERT_TRUE(m_Stream.Open(m_Folder.Write("r.bin", data), m_Channel));
    EXPECT_TRUE(m_Stream.Seek(10002));
    EXPECT_FALSE(m_Stream.Seek(10003)); // the end is no place to read from
    EXPECT_FALSE(m_Stream.Seek(0x1'0000'0000ull + 5));
    uint32_t word = 0;
    uint32_t count = 0;
    uint8_t byte = 0;
    // A word cut by the end of the file reads its missing bytes as zero; after it there is nothing.
    ASSERT_TRUE(m_Stream.Seek(10000));
    EXPECT_EQ(m_Stream.ReadWord(word), ReadResult::Ok);
    EXPECT_EQ(word, XorWordsOf(data, 10000, 10003));
    EXPECT_EQ(m_Stream.Read(&byte, 1, count), ReadResult::End);
    for (uint64_t words : {0u, 1u, 1024u, 1025u, 2500u, 2501u, 2502u}) {
        SCOPED_TRACE(words);
        ASSERT_TRUE(m_Stream.Seek(0));
        uint32_t x = 0;
        const uint64_t bytes = words * 4;
        ASSERT_EQ(m_Stream.XorWords(words, x), bytes < data.size() + 4 ? ReadResult::Ok : ReadResult::End);
        if (bytes >= data.size() + 4)
            continue;
        EXPECT_EQ(x, XorWordsOf(data, 0, std::min<size_t>(bytes, data.size())));
        if (bytes < data.size()) { // the stream stands right after the last word
            ASSERT_EQ(m_Stream.Read(&byte, 1, count), ReadResult::Ok);
            EXPECT_EQ(byte, data[bytes]);
        }
    }
}

TEST_F(StreamTest, SRecordLines) {
    std::string lower = Line(3, 0xABCDEF01, {0xAB, 0xCD});
    for (size_t i = 1; i < lower.size(); ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    std::string badSum = Line(3, 0x1000, {1, 2, 3, 4});
    badSum[badSum.size() - 3] ^= 1;
    const Bytes b32 = Counting(32, 1);
    struct {
        std::string text;
        ReadResult result;
        int type = 0;
        uint32_t address = 0;
        Bytes data;
    } cases[] = {
        {Line(3, 0x10005800, {1, 2, 3}), ReadResult::Ok, 3, 0x10005800, {1, 2, 3}},
        {Line(2, 0x123456, {9, 8}), ReadResult::Ok, 2, 0x123456, {9, 8}},
        {Line(1, 0xBEEF, {7}), ReadResult::Ok, 1, 0xBEEF, {7}},
        {Line(7, 0x201000, {}), ReadResult::Ok, 7, 0x201000, {}},
        {lower, ReadResult::Ok, 3, 0xABCDEF01, {0xAB, 0xCD}},
        {"S9030000FC\r\n", ReadResult::Ok, 9, 0, {}}, // a 16-bit end record: only its own digits
        // 32 data bytes make 78 characters: the most a line holds with its line end.
        {Line(3, 0x2000, b32, ""), ReadResult::Ok, 3, 0x2000, b32},
        {Line(3, 0x2000, b32, "\n"), ReadResult::Error},
        {badSum, ReadResult::Error},
        {"X" + Line(3, 0x1000, {1}).substr(1), ReadResult::Error},
        {"S3031000EC\r\n", ReadResult::Error},         // no room for the address
        {"S30900001000010203\r\n", ReadResult::Error}, // fewer bytes than its count
        {"S3050000100G\r\n", ReadResult::Error},
        {"S\n", ReadResult::Error},
        {"", ReadResult::End},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SRecordLine line;
        ASSERT_EQ(ReadLine(c.text, line), c.result);
        if (c.result != ReadResult::Ok)
            continue;
        EXPECT_EQ(line.type, c.type);
        EXPECT_EQ(line.address, c.address);
        if (c.type <= 3) {
            EXPECT_EQ(Bytes(line.data, line.data + line.count), c.data);
        }
    }
}

TEST_F(StreamTest, SRecordWindowGathersOnlyItsRange) {
    const Bytes d = Counting(16, 1);
    ASSERT_TRUE(m_Stream.Open(m_Folder.Write("w.s", Line(0, 0, {'x'}) + Line(3, 0x0FF8, d) +
                                                        Line(3, 0x1010, d) + Line(1, 0x1000, d) +
                                                        Line(3, 0x1038, d) + "bad\r\n" + Line(3, 0x1000, d)),
                              m_Channel));
    Bytes window(65, 0xAA); // 64 bytes and a guard
    m_Stream.ReadSRecordWindow(std::span(window).first(64), 0x1000);
    Bytes expect(65, 0);
    std::copy(d.begin(), d.end(), expect.begin() + 0x10);
    std::copy(d.begin(), d.begin() + 8, expect.begin() + 0x38);
    expect[64] = 0xAA;
    EXPECT_EQ(window, expect);
}

} // namespace
