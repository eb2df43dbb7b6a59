// The dialog's helpers without windows: string table and catalogue, recent files in the settings, path
// compaction, the console report.

#include "TestDir.h"
#include "app/ConsoleReport.h"
#include "app/LogPath.h"
#include "app/Profile.h"
#include "app/RecentFiles.h"
#include "app/StringTable.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

TEST(StringTable, BuiltinTextsAndUnknownIds) {
    ResetStringCatalogue();
    EXPECT_EQ(LoadStr(113), "Kavrel");
    EXPECT_EQ(LoadStr(163), "Port not found:");
    EXPECT_EQ(LoadStr(169), "GNSS receiver type undetected.\nProceed with image uploading");
    EXPECT_EQ(LoadStr(171), "Wait for upload to complete.");
    EXPECT_EQ(LoadStr(100), "");
    EXPECT_EQ(LoadStr(121), "");
    for (int id = 101; id <= 171; ++id) {
        if (id != 121 && id != 122 && id != 130 && id != 131 && id != 139 && id != 166) {
            EXPECT_FALSE(LoadStr(id).empty()) << id;
        }
    }
}

TEST(StringTable, CatalogueReplacesEntries) {
    CTestDir dir;
    std::string path = dir.File("localization.ini");
    std::ofstream(path) << "; translation\n[Other]\n109=Not this\n[Strings]\n109 = Hochladen\n"
                        << "168=Zeile eins\\nZeile zwei\n147=\"  Fertig  \"\nabc=ignored\n=empty\n";
    ASSERT_TRUE(LoadStringCatalogue(path));
    EXPECT_EQ(LoadStr(109), "Hochladen");
    EXPECT_EQ(LoadStr(168), "Zeile eins\nZeile zwei");
    EXPECT_EQ(LoadStr(147), "  Fertig  ");
    EXPECT_EQ(LoadStr(113), "Kavrel");
    EXPECT_STREQ(BuiltinStr(109), "Upload");
    ResetStringCatalogue();
    EXPECT_EQ(LoadStr(109), "Upload");
    EXPECT_FALSE(LoadStringCatalogue(dir.File("missing.ini")));
    EXPECT_EQ(LoadStr(109), "Upload");
}

namespace {
// The path at position index, or "-" when there is none.
std::string Entry(const RecentImageFiles& list, int index) {
    std::string path;
    return list.GetEntry(index, path) ? path : "-";
}
} // namespace

TEST(RecentFiles, AddFrontMovesAndDrops) {
    RecentImageFiles list;
    EXPECT_FALSE(list.AddFront(""));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(list.AddFront("/img/" + std::to_string(i)));
    EXPECT_EQ(list.Count(), 10);
    EXPECT_EQ(Entry(list, 0), "/img/9");
    // An existing path moves to the top without a duplicate.
    list.AddFront("/img/3");
    EXPECT_EQ(list.Count(), 10);
    EXPECT_EQ(Entry(list, 0), "/img/3");
    EXPECT_EQ(Entry(list, 7), "/img/2");
    // An eleventh distinct path drops the oldest.
    list.AddFront("/img/new");
    EXPECT_EQ(Entry(list, 9), "/img/1");
    EXPECT_EQ(Entry(list, 10), "-");
    // Case matters.
    list.AddFront("/IMG/NEW");
    EXPECT_EQ(Entry(list, 1), "/img/new");
}

TEST(RecentFiles, RemoveAnywhere) {
    RecentImageFiles list;
    EXPECT_FALSE(list.Remove(""));
    EXPECT_TRUE(list.Remove("/nothing"));
    list.AddFront("c");
    list.AddFront("b");
    list.AddFront("a");
    EXPECT_TRUE(list.Remove("c"));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_TRUE(list.Remove("a"));
    EXPECT_EQ(Entry(list, 0), "b");
    EXPECT_TRUE(list.Remove("b"));
    EXPECT_EQ(list.Count(), 0);
}

TEST(RecentFiles, SaveKeepsExactlyCountKeys) {
    CTestDir dir;
    auto profile = CProfile::FromFile(dir.File("settings.ini"));
    RecentImageFiles list;
    for (int i = 0; i < 6; ++i)
        list.AddFront("f" + std::to_string(i));
    list.Save(*profile);
    EXPECT_EQ(profile->GetInt("n", -1), 6);
    EXPECT_EQ(profile->GetString("recfile0", ""), "f5");
    EXPECT_TRUE(profile->Contains("recfile5"));
    list.Remove("f0");
    list.Remove("f1");
    list.Save(*profile);
    EXPECT_EQ(profile->GetInt("n", -1), 4);
    EXPECT_TRUE(profile->Contains("recfile3"));
    EXPECT_FALSE(profile->Contains("recfile4"));
    EXPECT_FALSE(profile->Contains("recfile5"));

    RecentImageFiles loaded;
    loaded.Load(*profile);
    EXPECT_EQ(loaded.Count(), 4);
    EXPECT_EQ(Entry(loaded, 0), "f5");
    EXPECT_EQ(Entry(loaded, 3), "f2");
}

TEST(RecentFiles, LoadDropsEmptyAndRepeatedAndKeepsLowestKeys) {
    CTestDir dir;
    auto profile = CProfile::FromFile(dir.File("settings.ini"));
    profile->WriteInt("n", 14);
    for (int i = 0; i < 14; ++i)
        profile->WriteString("recfile" + std::to_string(i), "p" + std::to_string(i));
    RecentImageFiles list;
    list.Load(*profile);
    ASSERT_EQ(list.Count(), 10);
    EXPECT_EQ(Entry(list, 0), "p0");
    EXPECT_EQ(Entry(list, 9), "p9");

    profile->WriteInt("n", 4);
    profile->WriteString("recfile1", "");
    profile->WriteString("recfile2", "p0");
    list.Load(*profile);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(Entry(list, 0), "p0");
    EXPECT_EQ(Entry(list, 1), "p3");

    // A damaged count is bounded.
    profile->WriteInt("n", 2000000000);
    list.Load(*profile);
    EXPECT_LE(list.Count(), 10);
}

namespace {
// One pixel per character.
int CharWidth(const std::string& s) {
    return static_cast<int>(s.size());
}
} // namespace

TEST(CompactPath, FitsOrShrinksByDirectories) {
    std::string label = "/home/user/projects/kavrel/logs/run.log (1234)";
    EXPECT_EQ(CompactPath(label, 100, CharWidth), label);
    EXPECT_EQ(CompactPath(label, static_cast<int>(label.size()), CharWidth), label);
    // Tail and head grow by whole directories while the text stays below the limit.
    EXPECT_EQ(CompactPath(label, 30, CharWidth), "/home/.../logs/run.log (1234)");
    EXPECT_EQ(CompactPath(label, 25, CharWidth), "/.../logs/run.log (1234)");
    EXPECT_EQ(CompactPath(label, 20, CharWidth), "/.../run.log (1234)");
    // Too narrow even for "/.../name": the bare name.
    EXPECT_EQ(CompactPath(label, 12, CharWidth), "run.log (1234)");
    // A name without directories stays the name.
    EXPECT_EQ(CompactPath("terminal.log (99)", 5, CharWidth), "terminal.log (99)");
}

namespace {
// What a report writes into a file, on a terminal or not, while run drives it.
std::string ReportText(bool terminal, const std::function<void(CConsoleReport&)>& run) {
    CTestDir dir;
    std::string path = dir.File("out.txt");
    std::FILE* f = std::fopen(path.c_str(), "w+");
    EXPECT_NE(f, nullptr);
    if (!f)
        return {};
    CConsoleReport report(f, terminal);
    run(report);
    report.Finish();
    std::fclose(f);
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
} // namespace

TEST(ConsoleReport, PlainLinesAtEveryTenth) {
    std::string text = ReportText(false, [](CConsoleReport& report) {
        report.StatusLine("Programming");
        for (int p = 0; p <= 1000; p += 25)
            report.Progress(3, p, 100000, static_cast<uint32_t>(1000 + p * 10));
    });
    EXPECT_EQ(text.find('\r'), std::string::npos);
    // The status line and eleven progress lines (0%, 10% ... 100%).
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12);
    for (const char* part : {"Programming  50%", "Programming 100%", "kB/s", "left"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

TEST(ConsoleReport, BarOnATerminalRedrawsOneLine) {
    std::string text = ReportText(true, [](CConsoleReport& report) {
        report.Progress(2, 0, 65536, 0);
        report.Progress(2, 500, 65536, 1000);
        report.StatusLine("a status line");
        report.Progress(2, 1000, 65536, 2000);
        report.Progress(3, 0, 65536, 2000);
    });
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find("\r\033[KErasing [###############...............]  50%  32.0 kB/s  0:01 left"),
              std::string::npos);
    // The status line clears the bar, stands on a line of its own, and the bar comes back below it.
    EXPECT_NE(text.find("\r\033[Ka status line\n\r\033[KErasing"), std::string::npos);
    EXPECT_NE(text.find("Programming [..."), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(ConsoleReport, RateAndDurationTexts) {
    EXPECT_EQ(CConsoleReport::RateText(512), "512 B/s");
    EXPECT_EQ(CConsoleReport::RateText(11520), "11.2 kB/s");
    EXPECT_EQ(CConsoleReport::RateText(3 * 1024 * 1024), "3.0 MB/s");
    EXPECT_EQ(CConsoleReport::DurationText(75), "1:15");
    EXPECT_EQ(CConsoleReport::DurationText(3725), "1:02:05");
    EXPECT_EQ(CConsoleReport::DurationText(-1), "-:--");
}
