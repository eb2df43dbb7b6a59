// The dialog's helpers without windows: string table and catalogue, recent files in the settings, path
// compaction, the console report.

#include "TestDir.h"
#include "app/ConsoleReport.h"
#include "app/LogPath.h"
#include "app/Profile.h"
#include "app/RecentFiles.h"
#include "app/StringTable.h"
#include "upload/UploadCheck.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

TEST(StringTable, BuiltinTextsAndCatalogue) {
    ResetStringCatalogue();
    EXPECT_EQ(LoadStr(169), "GNSS receiver type undetected.\nProceed with image uploading");
    CTestDir dir;
    std::ofstream(dir.File("l.ini"))
        << "; translation\n[Other]\n109=Not this\n[Strings]\n109 = Hochladen\n"
        << "168=Zeile eins\\nZeile zwei\n147=\"  Fertig  \"\nabc=ignored\n=empty\n";
    ASSERT_TRUE(LoadStringCatalogue(dir.File("l.ini")));
    EXPECT_EQ(LoadStr(109), "Hochladen");
    EXPECT_EQ(LoadStr(168), "Zeile eins\nZeile zwei");
    EXPECT_EQ(LoadStr(147), "  Fertig  ");
    EXPECT_STREQ(BuiltinStr(109), "Upload");
    ResetStringCatalogue();
    EXPECT_EQ(LoadStr(109), "Upload");
    EXPECT_FALSE(LoadStringCatalogue(dir.File("missing.ini")));
}

TEST(RecentFiles, FrontRemoveSaveAndLoad) {
    auto text = [](const RecentImageFiles& list) {
        std::string all, path;
        for (int i = 0; list.GetEntry(i, path); ++i)
            all += path + " ";
        return all;
    };
    RecentImageFiles list;
    EXPECT_FALSE(list.AddFront(""));
    for (int i = 0; i < 11; ++i)
        list.AddFront("f" + std::to_string(i));
    // The eleventh drops the oldest; an existing path moves to the top; case matters.
    list.AddFront("f3");
    list.AddFront("F3");
    EXPECT_EQ(text(list), "F3 f3 f10 f9 f8 f7 f6 f5 f4 f2 ");
    EXPECT_TRUE(list.Remove("f10"));
    EXPECT_TRUE(list.Remove("/nothing"));
    CTestDir dir;
    auto profile = CProfile::FromFile(dir.File("settings.ini"));
    profile->WriteString("recfile9", "stale");
    list.Save(*profile);
    EXPECT_EQ(profile->GetInt("n", -1), 9);
    EXPECT_FALSE(profile->Contains("recfile9"));
    // Loading drops empty and repeated entries and bounds a damaged count.
    profile->WriteString("recfile1", "");
    profile->WriteString("recfile2", "F3");
    RecentImageFiles loaded;
    loaded.Load(*profile);
    EXPECT_EQ(text(loaded), "F3 f8 f7 f6 f5 f4 f2 ");
    profile->WriteInt("n", 2000000000);
    loaded.Load(*profile);
    EXPECT_LE(loaded.Count(), 10);
}

TEST(CompactPath, FitsOrShrinksByDirectories) {
    auto width = [](const std::string& s) { return static_cast<int>(s.size()); };
    std::string label = "/home/user/projects/kavrel/logs/run.log (1234)";
    EXPECT_EQ(CompactPath(label, static_cast<int>(label.size()), width), label);
    EXPECT_EQ(CompactPath(label, 30, width), "/home/.../logs/run.log (1234)");
    EXPECT_EQ(CompactPath(label, 25, width), "/.../logs/run.log (1234)");
    EXPECT_EQ(CompactPath(label, 20, width), "/.../run.log (1234)");
    EXPECT_EQ(CompactPath(label, 12, width), "run.log (1234)");
    EXPECT_EQ(CompactPath("terminal.log (99)", 5, width), "terminal.log (99)");
}

// Plain lines at every tenth off a terminal; on one a bar redrawn in place that a status line interrupts.
TEST(ConsoleReport, PlainLinesAndBar) {
    for (bool terminal : {false, true}) {
        CTestDir dir;
        std::FILE* f = std::fopen(dir.File("out").c_str(), "w+");
        ASSERT_NE(f, nullptr);
        CConsoleReport report(f, terminal);
        report.Progress(2, 0, 65536, 0);
        report.Progress(2, 500, 65536, 1000);
        report.StatusLine("a status line");
        for (int p = 525; p <= 1000; p += 25)
            report.Progress(2, p, 65536, static_cast<uint32_t>(1000 + (p - 500) * 2));
        report.Progress(3, 0, 65536, 3000);
        // A count that starts again within a stage is a new stage: rate and time left start afresh.
        report.Progress(3, 600, 65536, 4000);
        report.Progress(3, 100, 65536, 5000);
        report.Progress(3, 300, 65536, 6000);
        report.Finish();
        std::fclose(f);
        std::ifstream in(dir.File("out"));
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!terminal) {
            EXPECT_EQ(text.find('\r'), std::string::npos);
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12) << text;
            EXPECT_NE(text.find("Programming  10%\nProgramming  30%  12.8 kB/s  0:04 left\n"),
                      std::string::npos)
                << text;
            EXPECT_NE(text.find("Erasing  50%  32.0 kB/s  0:01 left\n"), std::string::npos) << text;
        } else {
            EXPECT_NE(
                text.find("\r\033[KErasing [###############...............]  50%  32.0 kB/s  0:01 left"),
                std::string::npos);
            EXPECT_NE(text.find("\r\033[Ka status line\n\r\033[KErasing"), std::string::npos);
            EXPECT_NE(text.find("Programming [..."), std::string::npos);
            EXPECT_NE(text.find("Programming [#########.....................]  30%  12.8 kB/s  0:04 left"),
                      std::string::npos)
                << text;
            EXPECT_EQ(text.back(), '\n');
        }
    }
    EXPECT_EQ(RateText(3 * 1024 * 1024), "3.0 MB/s");
    EXPECT_EQ(DurationText(3725), "1:02:05");
    EXPECT_EQ(DurationText(-1), "-:--");
}
