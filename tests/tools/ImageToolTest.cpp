// kavrel-image as a process: the files it builds, what it reports on them and on bad input.

#include "../image/TestFiles.h"

#include "core/Channel.h"
#include "image/ImageSection.h"

#include <sys/wait.h>

#include <array>
#include <span>

namespace {

struct Result {
    int exitCode = -1;
    bool signalled = false;
    std::string out;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// Runs kavrel-image with args; stderr joins stdout when asked.
Result Tool(const std::vector<std::string>& args, bool withErrors = false) {
    std::string command = Quote(KV_IMAGE_TOOL);
    for (const auto& a : args)
        command += " " + Quote(a);
    command += withErrors ? " 2>&1" : " 2>/dev/null";
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer;
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.out.append(buffer.data(), n);
    int status = pclose(pipe);
    result.signalled = WIFSIGNALED(status);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool Has(const Result& r, const std::string& line) {
    return r.out.find(line + "\n") != std::string::npos;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ImageToolTest : public ::testing::Test {
protected:
    TempFolder m_Folder;
};

TEST_F(ImageToolTest, HelpNamesEveryCommand) {
    Result r = Tool({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word : {"info FILE", "loader FILE", "build union", "build options", "build sfl",
                             "--fw-size", "--serial", "--srec", "--no-checksum", "--sfl"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_EQ(Tool({}).exitCode, 2);
    EXPECT_EQ(Tool({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(Tool({"info"}).exitCode, 2);
}

TEST_F(ImageToolTest, UnionImageWithLoaderSection) {
    std::string path = m_Folder.File("union.bin");
    Result b = Tool({"build", "union", path, "--pfl-version", "1A.3", "--fw-version", "B200", "--fw-size",
                     "0x20000", "--modules", "5", "--sfl", "SFLD_T_2.0", "--seed", "42"});
    ASSERT_EQ(b.exitCode, 0) << b.out;
    EXPECT_EQ(ReadAll(path).size(), 0x8000u + 0x20000 + 4 + 0xC00 + 4);

    Result r = Tool({"info", path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Open image file name - " + path));
    EXPECT_TRUE(Has(r, "Sections in all: 3"));
    EXPECT_TRUE(Has(r, "FW ID: PFL"));
    EXPECT_TRUE(Has(r, "FW ID: Main F/W"));
    EXPECT_TRUE(Has(r, "FW ID: SFL"));
    EXPECT_TRUE(Has(r, "Size: 0x00020000"));
    EXPECT_TRUE(Has(r, "Start address: 0x00201000"));
    EXPECT_TRUE(Has(r, "Type: Firmware"));
    EXPECT_TRUE(Has(r, "Version: B200"));
    EXPECT_TRUE(Has(r, "PFL version: 1A.3"));
    EXPECT_NE(r.out.find("\nDate: "), std::string::npos);
    EXPECT_NE(r.out.find("\nTime: "), std::string::npos);
    // No time stamps on the report lines.
    EXPECT_EQ(r.out.find('\t'), std::string::npos);

    // The same parameters give the same bytes; another seed other bytes.
    std::string again = m_Folder.File("again.bin");
    ASSERT_EQ(Tool({"build", "union", again, "--pfl-version", "1A.3", "--fw-version", "B200", "--fw-size",
                    "0x20000", "--modules", "5", "--sfl", "SFLD_T_2.0", "--seed", "42"})
                  .exitCode,
              0);
    EXPECT_EQ(ReadAll(again), ReadAll(path));
    ASSERT_EQ(Tool({"build", "union", again, "--seed", "43"}).exitCode, 0);
    EXPECT_NE(ReadAll(again), ReadAll(path));
}

TEST_F(ImageToolTest, FourMegabyteUnionAndMissingChecksum) {
    std::string path = m_Folder.File("big.bin");
    ASSERT_EQ(Tool({"build", "union", path, "--fw-size", "0x3F7FFC", "--modules", "24"}).exitCode, 0);
    EXPECT_EQ(ReadAll(path).size(), 4u * 1024 * 1024);
    Result r = Tool({"info", path});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Size: 0x003F7FFC"));

    ASSERT_EQ(Tool({"build", "union", path, "--no-checksum"}).exitCode, 0);
    EXPECT_EQ(ReadAll(path).size(), 0x8000u + 0x10000);
    r = Tool({"info", path});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Sections in all: 2"));
}

TEST_F(ImageToolTest, OptionsFilesInEveryForm) {
    std::string path = m_Folder.File("options.bin");
    ASSERT_EQ(Tool({"build", "options", path, "--serial", "TZ5Q0001", "--size", "0x1800"}).exitCode, 0);
    EXPECT_EQ(ReadAll(path).size(), 0x1804u);
    Result r = Tool({"info", path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "FW ID: Options"));
    EXPECT_TRUE(Has(r, "Type: Options"));
    EXPECT_TRUE(Has(r, "Serial: TZ5Q0001"));
    EXPECT_EQ(r.out.find("PFL version"), std::string::npos);

    ASSERT_EQ(Tool({"build", "options", path, "--serial", "S1", "--no-checksum"}).exitCode, 0);
    EXPECT_EQ(ReadAll(path).size(), 0x800u);
    r = Tool({"info", path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Serial: S1"));

    std::string srec = m_Folder.File("options.s");
    ASSERT_EQ(Tool({"build", "options", srec, "--srec"}).exitCode, 0);
    r = Tool({"info", srec});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Format: motorola s-record"));
    EXPECT_TRUE(Has(r, "Start address: 0x10005800"));
    EXPECT_TRUE(Has(r, "Size: 0x00000800"));
    EXPECT_TRUE(Has(r, "Type: Options"));
}

TEST_F(ImageToolTest, BadBuildParametersAreRefused) {
    std::string path = m_Folder.File("x.bin");
    for (std::vector<std::string> args : {
             std::vector<std::string>{"build", "union", path, "--fw-version", "AB"},
             {"build", "union", path, "--fw-version", "A-12"},
             {"build", "union", path, "--fw-size", "0x3F8000"},
             {"build", "union", path, "--fw-size", "4097"},
             {"build", "union", path, "--modules", "0"},
             {"build", "union", path, "--pfl-size", "0x4004"},
             {"build", "union", path, "--pfl-version", "1x.2"},
             {"build", "union", path, "--bogus", "1"},
             {"build", "union", path, "--seed"},
             {"build", "options", path, "--serial", "lower"},
             {"build", "options", path, "--serial", std::string(65, 'A')},
             {"build", "options", path, "--size", "100"},
             {"build", "sfl", path, "--size", "0x1004"},
             {"build", "sfl", path, "--version", "two\nlines"},
             {"build", "widget", path},
             {"build", "union", m_Folder.File("no/such/folder/x.bin")},
         }) {
        Result r = Tool(args, true);
        EXPECT_EQ(r.exitCode, 2) << args[2] << " " << (args.size() > 3 ? args[3] : "");
        EXPECT_NE(r.out.find("kavrel-image build: "), std::string::npos) << r.out;
    }
}

TEST_F(ImageToolTest, InfoOnFilesThatAreNoImage) {
    Result r = Tool({"info", m_Folder.File("missing.bin")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: image open FAILED"));
    EXPECT_TRUE(Has(r, "ERROR: image open failed"));
    r = Tool({"info", ""});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: image open failed"));
    r = Tool({"info", m_Folder.Path()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: image open failed"));

    std::string garbage = m_Folder.File("garbage.bin");
    WriteBytes(garbage, Pattern(50000, 3));
    r = Tool({"info", garbage});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: image file corrupted"));
    EXPECT_TRUE(Has(r, "ERROR: corrupted file"));
    EXPECT_EQ(r.out.find("Image Info"), std::string::npos);

    // A valid union file cut at several places inside its first two sections.
    std::string path = m_Folder.File("union.bin");
    ASSERT_EQ(Tool({"build", "union", path}).exitCode, 0);
    auto bytes = ReadAll(path);
    std::string cut = m_Folder.File("cut.bin");
    for (size_t length : {0ul, 1ul, 40ul, 0x2000ul, 0x2004ul, 0x8000ul, 0x8100ul, 0x8400ul, 0x10000ul}) {
        WriteBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(length)));
        r = Tool({"info", cut});
        EXPECT_FALSE(r.signalled) << length;
        EXPECT_EQ(r.exitCode, 1) << length;
        EXPECT_TRUE(Has(r, "ERROR: corrupted file")) << length;
    }
}

TEST_F(ImageToolTest, LoaderFileBuiltBesideTheExecutables) {
    // The build put tz5_sfl.hex beside kavrel-image: S-records at 0x201000 with "$VER," in the first 4096
    // bytes, as the upload loads it.
    std::string sfl = (std::filesystem::path(KV_IMAGE_TOOL).parent_path() / "tz5_sfl.hex").string();
    ASSERT_TRUE(std::filesystem::exists(sfl)) << sfl;
    Result r = Tool({"loader", sfl});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Format: motorola s-record"));
    EXPECT_TRUE(Has(r, "Start address: 0x00201000"));
    EXPECT_TRUE(Has(r, "Entry: 0x00201000"));
    EXPECT_TRUE(Has(r, "Version line: SFLD_TZ5_v1.00"));

    // Independently of the tool: every line is a valid S-record, the data is contiguous from 0x201000 and
    // its first 4096 bytes hold the "$VER," text.
    CChannel channel;
    ImageStream stream;
    ASSERT_TRUE(stream.Open(sfl, channel));
    SRecordLine line;
    uint32_t expectAddress = 0x201000;
    int s3 = 0;
    int s7 = 0;
    for (;;) {
        ReadResult result = stream.ReadSRecord(line);
        if (result == ReadResult::End)
            break;
        ASSERT_EQ(result, ReadResult::Ok);
        if (line.type == 3) {
            EXPECT_EQ(line.address, expectAddress);
            expectAddress += line.count;
            ++s3;
        } else if (line.type == 7) {
            EXPECT_EQ(line.address, 0x201000u);
            ++s7;
        }
    }
    EXPECT_EQ(s7, 1);
    uint32_t size = expectAddress - 0x201000;
    EXPECT_GE(size, 1024u); // a loader, not a token
    EXPECT_LE(size, 4096u);
    ASSERT_TRUE(stream.Seek(0));
    std::vector<uint8_t> head(4096);
    stream.ReadSRecordWindow(head, 0x201000);
    std::string text(head.begin(), head.end());
    size_t at = text.find("$VER,");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(at, 0u);
    EXPECT_EQ(text.substr(at, 21), "$VER,SFLD_TZ5_v1.00\r\n");

    // It is no image-union file.
    r = Tool({"info", sfl});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: corrupted file"));
}

TEST_F(ImageToolTest, LoaderCommandOnOtherFiles) {
    std::string bin = m_Folder.File("sfl.bin");
    ASSERT_EQ(Tool({"build", "sfl", bin, "--binary", "--version", "X_9", "--size", "4096"}).exitCode, 0);
    EXPECT_EQ(ReadAll(bin).size(), 4096u);
    Result r = Tool({"loader", bin});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "Format: binary"));
    EXPECT_TRUE(Has(r, "Frames: 2"));
    EXPECT_TRUE(Has(r, "Version line: X_9"));

    r = Tool({"loader", m_Folder.File("missing.hex")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: SFLD file open failed"));
    std::string text = m_Folder.File("text.hex");
    WriteText(text, "not a loader\n");
    r = Tool({"loader", text});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r, "ERROR: wrong SFLD resource format"));
}

} // namespace
