// Opening an image refuses what is no regular file, without blocking on it: POSIX paths (a FIFO, a device).

#include "TestDir.h"

#include "core/Channel.h"
#include "image/ImageStream.h"

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ImageOpenTest : public ::testing::Test {
protected:
    CTestDir m_Folder;
    CChannel m_Channel;
    ImageStream m_Stream;
};

} // namespace

TEST_F(ImageOpenTest, RefusesWhatIsNoRegularFileWithoutBlocking) {
    const std::string fifo = m_Folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A path longer than the name field, of a file that exists: refused rather than cut.
    const std::string deep = std::string(200, 'a') + "/" + std::string(200, 'b');
    std::filesystem::create_directories(m_Folder.File(deep));
    const std::string longPath = m_Folder.Write(deep + "/" + std::string(200, 'c'), Bytes(64, 1));
    for (const std::string& path :
         {m_Folder.File("no"), m_Folder.Path(), fifo, std::string("/dev/null"), longPath}) {
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
