// Opening an image refuses what is no regular file, without blocking on it: Windows names (a folder, a
// device, a pipe, a missing file, a path the name field cannot hold).

#include "TestDir.h"

#include "core/Channel.h"
#include "image/ImageStream.h"

#include <future>
#include <windows.h>

TEST(ImageOpen, RefusesWhatIsNoRegularFileWithoutBlocking) {
    CTestDir dir;
    CChannel channel;
    ImageStream stream;
    // A pipe with a server that never writes: reading it would block.
    const std::string pipe = "\\\\.\\pipe\\kavrel-image-test-" + std::to_string(GetCurrentProcessId());
    HANDLE server =
        CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const std::string longPath = dir.Path() + "/" + std::string(300, 'c');
    for (const std::string& path : {dir.File("no"), dir.Path(), std::string("NUL"), pipe, longPath}) {
        SCOPED_TRACE(path.substr(0, 80));
        auto opened = std::async(std::launch::async, [&] { return stream.Open(path, channel); });
        ASSERT_EQ(opened.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "Open blocks";
        EXPECT_FALSE(opened.get());
        EXPECT_FALSE(stream.IsOpen());
    }
    CloseHandle(server);
    EXPECT_FALSE(channel.m_LogQueue.Pop().has_value());

    // A regular file opens, with its size and creation date.
    const std::string file = dir.Write("image.bin", std::string(1000, 'x'));
    ASSERT_TRUE(stream.Open(file, channel));
    EXPECT_EQ(stream.Size(), 1000u);
    ASSERT_TRUE(stream.HasCreationTime());
    EXPECT_GE(stream.CreationTime().year, 2024);
    EXPECT_TRUE(channel.m_LogQueue.Pop().has_value()); // the creation time's line
}
