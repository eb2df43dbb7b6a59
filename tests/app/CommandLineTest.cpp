#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

CCommandLineInfo Parse(std::vector<std::string> params) {
    CCommandLineInfo cmd;
    cmd.Parse(params);
    return cmd;
}

} // namespace

TEST(CommandLine, ImageAndPortSelectAutomaticMode) {
    CCommandLineInfo cmd = Parse({"-i", "/tmp/image.bin", "-p", "/dev/ttyUSB0"});
    EXPECT_TRUE(cmd.m_ImageFlag);
    EXPECT_TRUE(cmd.m_PortFlag);
    EXPECT_EQ(cmd.m_Image, "/tmp/image.bin");
    EXPECT_EQ(cmd.m_Port, "/dev/ttyUSB0");
    EXPECT_TRUE(cmd.IsAutoMode());
    EXPECT_FALSE(cmd.m_MsgOffFlag);
    EXPECT_FALSE(cmd.m_NoMutexFlag);
    EXPECT_FALSE(cmd.m_LogFlag);
    EXPECT_TRUE(cmd.LimitError().empty());
}

TEST(CommandLine, OnlyOneOfImageAndPortIsNotAutomatic) {
    EXPECT_FALSE(Parse({"-i", "a.bin"}).IsAutoMode());
    EXPECT_FALSE(Parse({"-p", "/dev/pts/3"}).IsAutoMode());
    EXPECT_FALSE(Parse({}).IsAutoMode());
}

TEST(CommandLine, TextIsTheNextParameterWhateverItIs) {
    // "-i -p PORT": the image text is the option letter p, and the same parameter sets the port flag.
    CCommandLineInfo cmd = Parse({"-i", "-p", "/dev/pts/7"});
    EXPECT_EQ(cmd.m_Image, "p");
    EXPECT_TRUE(cmd.m_PortFlag);
    EXPECT_EQ(cmd.m_Port, "/dev/pts/7");
    EXPECT_TRUE(cmd.IsAutoMode());
}

TEST(CommandLine, PrefixesSlashDashOrNothing) {
    for (const char* m : {"/m", "-m", "m"}) {
        CCommandLineInfo cmd = Parse({m});
        EXPECT_TRUE(cmd.m_MsgOffFlag) << m;
    }
    for (const char* n : {"/n", "-n", "n"})
        EXPECT_TRUE(Parse({n}).m_NoMutexFlag) << n;
    CCommandLineInfo cmd = Parse({"i", "x.bin", "/p", "/dev/ttyS0"});
    EXPECT_EQ(cmd.m_Image, "x.bin");
    EXPECT_EQ(cmd.m_Port, "/dev/ttyS0");
}

TEST(CommandLine, ComparisonIsExactWithCase) {
    CCommandLineInfo cmd = Parse({"-I", "x.bin", "-M", "-N", "-L", "--i", "-im"});
    EXPECT_FALSE(cmd.m_ImageFlag);
    EXPECT_FALSE(cmd.m_MsgOffFlag);
    EXPECT_FALSE(cmd.m_NoMutexFlag);
    EXPECT_FALSE(cmd.m_LogFlag);
    EXPECT_TRUE(cmd.m_Image.empty());
}

TEST(CommandLine, AbsolutePathsKeepTheirLeadingSlash) {
    CCommandLineInfo cmd = Parse({"-l", "/var/log/kavrel.log", "-i", "/m"});
    EXPECT_EQ(cmd.m_LogName, "/var/log/kavrel.log");
    // A text that is itself an option written with a prefix is taken as its letter, and the option counts.
    EXPECT_EQ(cmd.m_Image, "m");
    EXPECT_TRUE(cmd.m_MsgOffFlag);
}

TEST(CommandLine, LogAsLastParameterHasNoName) {
    CCommandLineInfo cmd = Parse({"-m", "-l"});
    EXPECT_TRUE(cmd.m_LogFlag);
    EXPECT_TRUE(cmd.m_LogName.empty());
}

TEST(CommandLine, EachTextIsTakenOnce) {
    CCommandLineInfo cmd = Parse({"-i", "first.bin", "-i", "second.bin", "-l", "a.log", "b.log"});
    EXPECT_EQ(cmd.m_Image, "first.bin");
    EXPECT_EQ(cmd.m_LogName, "a.log");
}

TEST(CommandLine, OneParameterFeedsEveryOpenText) {
    // Image and log flags are both waiting: the next parameter fills both texts.
    CCommandLineInfo cmd = Parse({"-i", "-l", "shared"});
    EXPECT_EQ(cmd.m_Image, "l");
    EXPECT_EQ(cmd.m_LogName, "shared");
}

TEST(CommandLine, HelpAndVersion) {
    EXPECT_TRUE(Parse({"--help"}).m_Help);
    EXPECT_TRUE(Parse({"--version"}).m_Version);
    EXPECT_TRUE(Parse({"-i", "--help"}).m_Help);
    EXPECT_NE(UsageText("kavrel").find("-p PORT"), std::string::npos);
}

TEST(CommandLine, OverlongTextsAreRefusedNotCut) {
    std::string image(CCommandLineInfo::IMAGE_LIMIT, 'a');
    EXPECT_TRUE(Parse({"-i", image}).LimitError().empty());
    CCommandLineInfo longImage = Parse({"-i", image + "b"});
    EXPECT_NE(longImage.LimitError().find("image"), std::string::npos);
    EXPECT_EQ(longImage.m_Image.size(), CCommandLineInfo::IMAGE_LIMIT + 1);

    std::string port(CCommandLineInfo::PORT_LIMIT, 'p');
    EXPECT_TRUE(Parse({"-p", port}).LimitError().empty());
    EXPECT_NE(Parse({"-p", port + "x"}).LimitError().find("port"), std::string::npos);
    std::string log(CCommandLineInfo::LOG_LIMIT + 1, 'l');
    EXPECT_NE(Parse({"-l", log}).LimitError().find("log"), std::string::npos);
}

TEST(CommandLine, ArgvSkipsTheProgramName) {
    const char* argv[] = {"kavrel", "-i", "img", "-p", "port", "-m", "-n", "-l", "out.log"};
    CCommandLineInfo cmd;
    cmd.Parse(9, const_cast<char**>(argv));
    EXPECT_EQ(cmd.m_Image, "img");
    EXPECT_EQ(cmd.m_Port, "port");
    EXPECT_TRUE(cmd.m_MsgOffFlag);
    EXPECT_TRUE(cmd.m_NoMutexFlag);
    EXPECT_EQ(cmd.m_LogName, "out.log");
}
