#include "TestFiles.h"

#include "core/Channel.h"
#include "image/LoadImage.h"

#include <regex>

namespace {

class LoadImageTest : public ::testing::Test {
protected:
    // Log lines without their time stamps; checks the stamp on the way.
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        while (auto line = m_Channel.m_LogQueue.Pop()) {
            EXPECT_TRUE(std::regex_search(*line, std::regex("^\\d\\d:\\d\\d:\\d\\d\t"))) << *line;
            lines.push_back(line->substr(9));
        }
        return lines;
    }
    std::vector<std::string> StatusLines() {
        std::vector<std::string> lines;
        while (auto line = m_Channel.m_StatusQueue.Pop())
            lines.push_back(*line);
        return lines;
    }
    // A three-section union file: PFL, main firmware, binary SFL.
    std::vector<uint8_t> ThreeSections() {
        std::vector<uint8_t> file = UnionBinary(FLASH_BASE, 0x1000);
        file[57] = 0x2B;
        file[56] = 0x01;
        SetWord(file, 0x1000, XorOf(file, 0, 0x1000));
        file.resize(0x8000, 0xFF);
        auto fw = UnionBinary(MAIN_FW_BASE, 0x2000, false);
        file.insert(file.end(), fw.begin(), fw.end());
        SetWord(file, 0x8000 + 48, 0xFFFFFFFF);
        std::memcpy(file.data() + 0x8000 + 1076, "K9Z1", 4);
        uint32_t y = XorOf(file, 0x8000, 0x8400);
        SetWord(file, 0x8400, 5);
        SetWord(file, 0x8404, y ^ 5);
        SetWord(file, 0xA000, 0);
        auto sfl = UnionBinary(SFL_BASE, 0x800, false);
        std::memset(sfl.data() + 44, 0, 0x800 - 44);
        std::memcpy(sfl.data() + 0x40, "$VER,SFLD_3\r\n", 13);
        SetWord(sfl, 0x800, XorOf(sfl, 0, 0x800));
        file.insert(file.end(), sfl.begin(), sfl.end());
        return file;
    }

    TempFolder m_Folder;
    CChannel m_Channel;
    CImageFile m_Image;
};

TEST_F(LoadImageTest, ReportOfAThreeSectionUnionFile) {
    std::string path = m_Folder.File("three.bin");
    auto file = ThreeSections();
    WriteBytes(path, file);
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    auto lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Open image file name - " + path);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} .*\\d{4}\n"))) << lines[1];
    std::vector<std::string> expect = {
        "----------- Image Info -----------",
        "Image file: " + path,
        "File size: " + std::to_string(file.size()),
        "Sections in all: 3",
        "****** Section N1 ******",
        "Active flag: on",
        "Format: binary",
        "FW ID: PFL",
        "Start address: 0x10000000",
        "Size: 0x00001000",
        "Entry: 0x10000000",
        "CRC State: ok",
        "****** Section N2 ******",
        "Active flag: on",
        "Format: binary",
        "FW ID: Main F/W",
        "Start address: 0x10008000",
        "Size: 0x00002000",
        "Entry: 0x10008000",
        "CRC State: ok",
        "****** Section N3 ******",
        "Active flag: on",
        "Format: binary",
        "FW ID: SFL",
        "Start address: 0x00201000",
        "Size: 0x00000800",
        "Entry: 0x00201000",
        "CRC State: ok",
        "",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), expect);
    EXPECT_TRUE(StatusLines().empty());

    // Reduced to one section over the whole file; the other sections keep their values for the panel.
    ASSERT_EQ(m_Image.Count(), 1);
    EXPECT_EQ(m_Image.Section(0).size, file.size());
    EXPECT_EQ(m_Image.Section(0).start, FLASH_BASE);
    EXPECT_FALSE(m_Image.Section(0).bootCurrent);
    EXPECT_TRUE(m_Image.Stream().IsOpen());

    ImageFileInfo info = DescribeImage(m_Image, &m_Channel);
    EXPECT_FALSE(info.options);
    EXPECT_EQ(info.value, "K9Z1");
    EXPECT_EQ(info.pflVersion, "2B.1");
    EXPECT_TRUE(std::regex_match(info.date, std::regex("\\d\\d\\.\\d\\d\\.\\d{4}"))) << info.date;
    EXPECT_TRUE(std::regex_match(info.time, std::regex("\\d{1,2}:\\d\\d:\\d\\d"))) << info.time;
    auto infoLines = LogLines();
    ASSERT_EQ(infoLines.size(), 4u);
    EXPECT_EQ(infoLines[0], "Size:\t" + std::to_string(file.size()) + " bytes");
    EXPECT_EQ(infoLines[2], "Image version:\tK9Z1");
    EXPECT_EQ(infoLines[3], "PFL version:\t2B.1");
}

TEST_F(LoadImageTest, EmptyPathReportsOnlyTheName) {
    EXPECT_FALSE(LoadImage(m_Image, std::string(), m_Channel));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Open image file name - "});
    EXPECT_TRUE(StatusLines().empty());
}

TEST_F(LoadImageTest, MissingFileAndCorruptFile) {
    std::string missing = m_Folder.File("missing.bin");
    EXPECT_FALSE(LoadImage(m_Image, missing, m_Channel));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Open image file name - " + missing, "ERROR: image open FAILED"}));
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"ERROR: image open failed"});

    std::string corrupt = m_Folder.File("corrupt.bin");
    auto file = ThreeSections();
    file[0x20] ^= 1; // inside the PFL's checksummed words
    WriteBytes(corrupt, file);
    EXPECT_FALSE(LoadImage(m_Image, corrupt, m_Channel));
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Open image file name - " + corrupt);
    EXPECT_EQ(lines[1].back(), '\n'); // the creation-time line
    EXPECT_EQ(lines[2], "ERROR: image file corrupted");
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"ERROR: corrupted file"});

    // Translated texts replace the status lines only.
    ImageLoadTexts texts;
    texts.corrupted = "Datei defekt";
    EXPECT_FALSE(LoadImage(m_Image, corrupt, m_Channel, texts));
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"Datei defekt"});
    EXPECT_EQ(LogLines().back(), "ERROR: image file corrupted");
}

TEST_F(LoadImageTest, SRecordImageKeepsTheExtentOfItsData) {
    // An S-record Options image: its text is far longer than its data, and erasing the text's length from
    // 0x10005800 would reach the main firmware at 0x10008000.
    std::string text = SLine(0, 0, {'o', 'p', 't'});
    for (uint32_t at = 0; at < 0x1800; at += 16)
        text += SLine(3, OPTIONS_BASE + at, Pattern(16, static_cast<uint8_t>(at)));
    text += SLine(7, OPTIONS_BASE, {});
    std::string path = m_Folder.File("options.s");
    WriteText(path, text);
    ASSERT_GT(text.size(), 0x2800u);
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    ASSERT_EQ(m_Image.Count(), 1);
    EXPECT_EQ(m_Image.Section(0).format, SectionFormat::SRecord);
    EXPECT_EQ(m_Image.Section(0).size, 0x1800u);
    EXPECT_LE(m_Image.Section(0).start + m_Image.Section(0).size, MAIN_FW_BASE);
    auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Format: motorola s-record"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Size: 0x00001800"), lines.end());

    ImageFileInfo info = DescribeImage(m_Image);
    EXPECT_TRUE(info.options);
}

TEST_F(LoadImageTest, BinaryOptionsKeepsItsImageAndChecksumWordOnly) {
    auto options = UnionBinary(OPTIONS_BASE, 0x400);
    std::string path = m_Folder.File("options.bin");
    WriteBytes(path, options);
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    EXPECT_EQ(m_Image.Section(0).size, 0x404u);
    // Trailing bytes after the checksum word are not programmed: 16 KiB from 0x10005800 would reach the
    // main firmware.
    options.resize(0x4000, 0x77);
    WriteBytes(path, options);
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    EXPECT_EQ(m_Image.Section(0).size, 0x404u);
    EXPECT_LT(m_Image.Section(0).start + m_Image.Section(0).size, MAIN_FW_BASE);
    // Without its checksum word the file is the image.
    options.resize(0x400);
    WriteBytes(path, options);
    ASSERT_TRUE(LoadImage(m_Image, path, m_Channel));
    EXPECT_EQ(m_Image.Section(0).size, 0x400u);
}

TEST_F(LoadImageTest, PathCellIsReadAndItsMarkCleared) {
    std::string path = m_Folder.File("three.bin");
    WriteBytes(path, ThreeSections());
    LockedString cell;
    cell.Set(path);
    ASSERT_EQ(cell.Changed(), 1);
    EXPECT_TRUE(LoadImage(m_Image, cell, m_Channel));
    EXPECT_EQ(cell.Changed(), 0);
    EXPECT_EQ(LogLines()[0], "Open image file name - " + path);
    // Loading another file over it replaces everything.
    std::string other = m_Folder.File("missing.bin");
    cell.Set(other);
    EXPECT_FALSE(LoadImage(m_Image, cell, m_Channel));
    EXPECT_FALSE(m_Image.Stream().IsOpen());
}

TEST_F(LoadImageTest, TruncatedFilesNeverLoadAsSomethingElse) {
    auto file = ThreeSections();
    std::string path = m_Folder.File("cut.bin");
    // Cuts at every interesting place and across the whole file: each load ends in a defined result.
    for (size_t cut = 0; cut < file.size(); cut += (cut < 0x100 ? 1 : 97)) {
        WriteBytes(path, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(cut)));
        bool ok = LoadImage(m_Image, path, m_Channel);
        // Only cuts after the main firmware (where the third section is optional) or exactly at a
        // checksum word's place can still be valid.
        if (ok) {
            EXPECT_GE(cut, 0xA000u) << cut;
            EXPECT_EQ(m_Image.Section(0).size, cut);
        }
        LogLines();
        StatusLines();
    }
}

} // namespace
