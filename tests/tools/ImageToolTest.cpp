// kavrel-image as a process: the files it builds, what it reports on them, and bad input.

#include "Process.h"
#include "TestImages.h"

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    bool Has(const std::string& line) const { return out.find(line + "\n") != std::string::npos; }
};

// Runs kavrel-image with args, standard error joined to standard output.
Result Tool(const std::vector<std::string>& args) {
    std::string command = "exec " KV_IMAGE_TOOL;
    for (const auto& a : args)
        command += " '" + a + "'";
    const ProcessResult r = RunProcess({"/bin/sh", "-c", command + " 2>&1"}, {}, 60000);
    return {r.exitCode, r.out};
}

// Every option reaches the file: the tool's file equals what the writer makes of the same parameters.
TEST(ImageTool, BuildsWhatItReports) {
    CTestDir folder;
    const std::string file = folder.File("f");
    struct {
        std::vector<std::string> build;
        Bytes same;
        std::vector<std::string> report; // the command after the file name, and lines it must print
    } cases[] = {
        {{"union", "--pfl-version", "1A.3", "--fw-version", "B200", "--sfl", "SFLD_T_2", "--sfl-size",
          "0x800"},
         Built(BuildUnionImage, UnionParams{.pflMajor = 0x1A,
                                            .pflMinor = 3,
                                            .fwVersion = "B200",
                                            .withSfl = true,
                                            .sfl = {.version = "SFLD_T_2", .size = 0x800}}),
         {"info", "Sections in all: 3", "FW ID: SFL", "Start address: 0x00201000", "Type: Firmware",
          "Version: B200", "PFL version: 1A.3"}},
        {{"union", "--fw-size", "0x3F7FFC", "--modules", "24", "--pfl-size", "0x4000", "--seed", "9"},
         Built(BuildUnionImage, UnionParams{.pflSize = 0x4000, .fwSize = 0x3F7FFC, .modules = 24, .seed = 9}),
         {"info", "File size: 4194304", "Size: 0x003F7FFC", "Size: 0x00004000"}},
        {{"union", "--pfl-version", "2.10"}, // hexadecimal, as the file holds it and info shows it
         Built(BuildUnionImage, UnionParams{.pflMajor = 2, .pflMinor = 0x10}),
         {"info", "PFL version: 2.10"}},
        {{"union", "--no-checksum"},
         Built(BuildUnionImage, UnionParams{.lastChecksum = false}),
         {"info", "Sections in all: 2", "File size: 98304"}},
        {{"options", "--serial", "TZ5Q0001", "--size", "0x1800", "--no-checksum"},
         Built(BuildOptionsImage, OptionsParams{.serial = "TZ5Q0001", .size = 0x1800, .checksum = false}),
         {"info", "Type: Options", "Serial: TZ5Q0001"}},
        {{"options", "--srec"},
         {},
         {"info", "Format: motorola s-record", "Start address: 0x10005800", "Size: 0x00000800"}},
        {{"sfl", "--binary", "--version", "X_9", "--size", "4096"},
         Built(BuildSflImage, SflParams{.version = "X_9", .size = 4096, .plainForm = true}),
         {"loader", "Frames: 2", "Version line: X_9"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", c.build[0], file};
        args.insert(args.end(), c.build.begin() + 1, c.build.end());
        SCOPED_TRACE(c.build[0] + " " + (c.build.size() > 1 ? c.build[1] : ""));
        ASSERT_EQ(Tool(args).exitCode, 0);
        if (!c.same.empty()) {
            const std::string bytes = ReadAll(file);
            EXPECT_TRUE(Bytes(bytes.begin(), bytes.end()) == c.same);
        }
        const Result r = Tool({c.report[0], file});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        for (size_t i = 1; i < c.report.size(); ++i)
            EXPECT_TRUE(r.Has(c.report[i])) << c.report[i] << "\n" << r.out;
    }
}

TEST(ImageTool, RefusesBadInput) {
    CTestDir folder;
    const std::string x = folder.File("x");
    EXPECT_EQ(Tool({"--help"}).exitCode, 0);
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"frobnicate"}, {"info"}})
        EXPECT_EQ(Tool(args).exitCode, 2);
    for (std::vector<std::string> args : {std::vector<std::string>{"union", x, "--fw-version", "A-12"},
                                          {"union", x, "--fw-size", "0x3F8000"},
                                          {"union", x, "--pfl-size", "0x4004"},
                                          {"union", x, "--seed"},
                                          {"union", x, "--pfl-version", "2.100"},
                                          {"union", x, "--pfl-version", "100.1"},
                                          {"union", x, "--pfl-version", "2.-1"},
                                          {"union", x, "--pfl-version", "2.G"},
                                          {"options", x, "--serial", std::string(65, 'A')},
                                          {"sfl", x, "--size", "0x1004"},
                                          {"union", folder.File("no/such/folder")}}) {
        args.insert(args.begin(), "build");
        const Result r = Tool(args);
        EXPECT_EQ(r.exitCode, 2) << args[2] << " " << args.back();
        EXPECT_NE(r.out.find("kavrel-image build: "), std::string::npos) << r.out;
    }
    // Files that are no image: each names its fault and ends with 1.
    folder.Write("garbage", Bytes(50000, 3));
    folder.Write("text", std::string("not a loader\n"));
    for (const auto& [args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"info", folder.File("missing")}, "ERROR: image open failed: No such file or directory"},
             {{"info", folder.Path()}, "ERROR: image open failed: Is a directory"},
             {{"info", folder.File("garbage")}, "ERROR: corrupted file"},
             {{"loader", folder.File("missing")}, "ERROR: SFLD file open failed"},
             {{"loader", folder.File("text")}, "ERROR: wrong SFLD resource format"}}) {
        const Result r = Tool(args);
        EXPECT_EQ(r.exitCode, 1) << args[1];
        EXPECT_TRUE(r.Has(line)) << r.out;
    }
}

} // namespace
