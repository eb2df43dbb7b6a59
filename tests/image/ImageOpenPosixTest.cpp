// Opening an image refuses what is no regular file, without blocking on it, and says why: POSIX paths (a
// FIFO, a device, a symbolic link loop, a file without permission, sparse files larger than the flash).

#include "TestDir.h"
#include "TestImages.h"

#include "core/Channel.h"
#include "image/ImageFile.h"
#include "image/ImageStream.h"
#include "image/LoadImage.h"

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
    CImageFile m_Image;
};

Bytes Union() {
    Bytes file;
    std::string error;
    EXPECT_TRUE(BuildUnionImage(UnionParams{}, file, error)) << error;
    return file;
}

} // namespace

// Each refusal names its cause; a load puts it after the status text.
TEST_F(ImageOpenTest, RefusesWhatIsNoRegularFileWithoutBlockingAndSaysWhy) {
    const std::string fifo = m_Folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A path longer than the name field, of a file that exists: refused rather than cut.
    const std::string deep = std::string(200, 'a') + "/" + std::string(200, 'b');
    std::filesystem::create_directories(m_Folder.File(deep));
    const std::string longPath = m_Folder.Write(deep + "/" + std::string(200, 'c'), Bytes(64, 1));
    ASSERT_EQ(symlink("loop2", m_Folder.File("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", m_Folder.File("loop2").c_str()), 0);
    const std::string locked = m_Folder.Write("locked", Union());
    chmod(locked.c_str(), 0);
    // Valid union files made larger than the flash, sparse: one byte over, and 4 GiB - 1 whose size wraps
    // the erase range.
    std::vector<std::string> large;
    for (off_t size : {off_t{FLASH_SIZE} + 1, off_t{0xFFFFFFFF}}) {
        large.push_back(m_Folder.Write("large" + std::to_string(size), Union()));
        ASSERT_EQ(truncate(large.back().c_str(), size), 0);
    }
    const struct {
        std::string path, cause;
    } cases[] = {{m_Folder.File("no"), "No such file or directory"},
                 {m_Folder.Path(), "Is a directory"},
                 {fifo, "not a regular file"},
                 {"/dev/null", "not a regular file"},
                 {longPath, "File name too long"},
                 {m_Folder.File("loop1"), "Too many levels of symbolic links"},
                 {locked, "Permission denied"}, // not for root, who reads it anyway
                 {large[0], "File too large"},
                 {large[1], "File too large"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 80));
        if (c.path == locked && access(locked.c_str(), R_OK) == 0)
            continue;
        auto opened = std::async(std::launch::async, [&] { return m_Stream.Open(c.path, m_Channel); });
        if (opened.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "Open blocks";
            close(open(fifo.c_str(), O_WRONLY | O_CLOEXEC)); // the writer it waits for, so the test can end
        }
        EXPECT_FALSE(opened.get());
        EXPECT_FALSE(m_Stream.IsOpen());
        EXPECT_EQ(m_Stream.Error(), c.cause);
        EXPECT_FALSE(m_Channel.m_LogQueue.Pop().has_value());

        m_Channel.m_StatusQueue.Clear();
        EXPECT_FALSE(LoadImage(m_Image, c.path, m_Channel));
        EXPECT_EQ(m_Channel.m_StatusQueue.Pop().value_or(""), "ERROR: image open failed: " + c.cause);
        m_Channel.m_LogQueue.Pop(); // the file's name
        EXPECT_EQ(m_Channel.m_LogQueue.Pop().value_or("").substr(9), "ERROR: image open FAILED: " + c.cause);
        m_Channel.m_LogQueue.Clear();
    }
}
