#include "dialog/CommandLine.h"

#include <gtest/gtest.h>

// Every command-line form as one row: the parameters and what the parser makes of them ("-" for a flag not
// set, the text otherwise; "auto" when image and port select the unattended mode).
TEST(CommandLine, Forms) {
    struct Row {
        std::vector<std::string> params;
        std::string image, port, log, flags; // flags: i p m n l a(uto) h(elp) v(ersion) in this order
        std::string limitError;
    };
    const std::string longImage(CCommandLineInfo::IMAGE_LIMIT, 'a');
    // clang-format off
    const Row rows[] = {
        {{"-i", "/tmp/image.bin", "-p", "/dev/ttyUSB0"}, "/tmp/image.bin", "/dev/ttyUSB0", "", "ip---a--", ""},
        {{"-p", "/dev/pts/3"}, "", "/dev/pts/3", "", "-p------", ""},
        // The text of an option is the next parameter whatever it is, and that parameter still counts.
        {{"-i", "-p", "/dev/pts/7"}, "p", "/dev/pts/7", "", "ip---a--", ""},
        {{"-i", "-l", "shared"}, "l", "", "shared", "i---l---", ""},
        {{"/m", "n", "i", "x.bin", "/p", "/dev/ttyS0"}, "x.bin", "/dev/ttyS0", "", "ipmn-a--", ""},
        {{"-I", "x.bin", "-M", "-N", "-L", "--i", "-im"}, "", "", "", "--------", ""},
        {{"-l", "/var/log/k.log", "-i", "/m"}, "m", "", "/var/log/k.log", "i-m-l---", ""},
        {{"-m", "-l"}, "", "", "", "--m-l---", ""},
        // The log file is created: an option after "l" leaves it the default name and stays an option.
        {{"-l", "-m", "x.log"}, "", "", "", "--m-l---", ""},
        {{"-l", "/n", "x.log"}, "", "", "", "---nl---", ""},
        {{"-l", "i", "x.bin"}, "x.bin", "", "", "i---l---", ""},
        {{"-l", "--verify", "x.log"}, "", "", "", "----l---", ""},
        {{"-l", "-x"}, "", "", "", "----l---", ""},
        {{"-i", "first.bin", "-i", "second.bin", "-l", "a.log", "b.log"}, "first.bin", "", "a.log", "i---l---", ""},
        {{"-i", "--help", "--version"}, "", "", "", "i-----hv", ""},
        {{"-i", longImage}, longImage, "", "", "i-------", ""},
        {{"-i", longImage + "b"}, longImage + "b", "", "", "i-------", "image"},
        {{"-p", std::string(CCommandLineInfo::PORT_LIMIT + 1, 'p')}, "", "", "", "", "port"},
        {{"-l", std::string(CCommandLineInfo::LOG_LIMIT + 1, 'l')}, "", "", "", "", "log"},
        {{"--completion-limit", "999"}, "", "", "", "", "completion"},
        {{"--completion-limit", "3000x"}, "", "", "", "", "completion"},
        {{"-l", "--completion-limit"}, "", "", "", "", "completion"},
    };
    // clang-format on
    for (const Row& row : rows) {
        CCommandLineInfo cmd;
        cmd.Parse(row.params);
        SCOPED_TRACE(row.params.front());
        if (!row.flags.empty()) {
            bool flags[] = {cmd.m_ImageFlag, cmd.m_PortFlag,   cmd.m_MsgOffFlag, cmd.m_NoMutexFlag,
                            cmd.m_LogFlag,   cmd.IsAutoMode(), cmd.m_Help,       cmd.m_Version};
            for (size_t i = 0; i < row.flags.size(); ++i)
                EXPECT_EQ(flags[i], row.flags[i] != '-') << i;
            EXPECT_EQ(cmd.m_Image, row.image);
            EXPECT_EQ(cmd.m_Port, row.port);
            EXPECT_EQ(cmd.m_LogName, row.log);
        }
        EXPECT_EQ(cmd.LimitError().empty(), row.limitError.empty());
        EXPECT_NE(cmd.LimitError().find(row.limitError), std::string::npos);
    }
    const char* argv[] = {"kavrel", "-i", "img", "-n"};
    CCommandLineInfo cmd;
    cmd.Parse(4, const_cast<char**>(argv));
    EXPECT_EQ(cmd.m_Image, "img");
    EXPECT_TRUE(cmd.m_NoMutexFlag);
}
