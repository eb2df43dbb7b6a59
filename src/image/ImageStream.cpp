#include "image/ImageStream.h"

#include "core/Channel.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ImageStream::~ImageStream() {
    Close();
}

namespace {

// Birth time where the file system keeps one, else the modification time.
bool FileCreationTime(int fd, std::time_t& when) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME, &sx) == 0) {
        if (sx.stx_mask & STATX_BTIME) {
            when = static_cast<std::time_t>(sx.stx_btime.tv_sec);
            return true;
        }
        if (sx.stx_mask & STATX_MTIME) {
            when = static_cast<std::time_t>(sx.stx_mtime.tv_sec);
            return true;
        }
    }
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return false;
    when = st.st_mtime;
    return true;
}

} // namespace

bool ImageStream::Open(const std::string& path, CChannel& channel) {
    Close();
    m_HasCreationTime = false;
    m_Size = 0;
    // A path the name field cannot hold is refused: the report would name a different file.
    if (path.size() >= NAME_SIZE || path.find('\0') != std::string::npos) {
        m_Name[0] = '\0';
        m_State = State::OpenFailed;
        return false;
    }
    std::memcpy(m_Name, path.c_str(), path.size() + 1);

    // Only regular files: a directory reads as an error, and opening a FIFO blocks until a writer comes
    // (opening a terminal would touch its lines). The path is looked at before it is opened, and the opened
    // file again, without blocking, in case the path changed in between.
    struct stat st {};
    if (stat(m_Name, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_State = State::OpenFailed;
        return false;
    }
    int fd = open(m_Name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_State = State::OpenFailed;
        return false;
    }
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || st.st_size > 0xFFFFFFFFLL ||
        flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !(m_File = fdopen(fd, "rb"))) {
        close(fd);
        m_State = State::OpenFailed;
        return false;
    }
    m_Size = static_cast<uint32_t>(st.st_size);

    std::time_t when = 0;
    if (FileCreationTime(fd, when)) {
        std::tm local{};
        if (localtime_r(&when, &local)) {
            m_Created.day = local.tm_mday;
            m_Created.month = local.tm_mon + 1;
            m_Created.year = local.tm_year + 1900;
            m_Created.hour = local.tm_hour;
            m_Created.minute = local.tm_min;
            m_Created.second = local.tm_sec;
            m_HasCreationTime = true;
            // The C library's fixed text ("Www Mmm dd hh:mm:ss yyyy\n"), independent of the locale.
            char text[64] = {};
            if (asctime_r(&local, text))
                channel.Log(text);
        }
    }
    m_State = State::Open;
    return true;
}

void ImageStream::Close() {
    if (m_File) {
        std::fclose(m_File);
        m_File = nullptr;
    }
    m_State = State::Closed;
}

bool ImageStream::Seek(uint64_t offset) {
    if (!IsOpen() || offset >= m_Size)
        return false;
    if (fseeko(m_File, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    return ftello(m_File) == static_cast<off_t>(offset);
}

ReadResult ImageStream::Read(uint8_t* buffer, uint32_t length, uint32_t& count) {
    count = 0;
    if (!IsOpen() || std::ferror(m_File))
        return ReadResult::Error;
    if (length > 0xFFFF)
        length = 0xFFFF;
    size_t got = std::fread(buffer, 1, length, m_File);
    count = static_cast<uint32_t>(got);
    if (std::ferror(m_File))
        return ReadResult::Error;
    return got == 0 ? ReadResult::End : ReadResult::Ok;
}

ReadResult ImageStream::ReadWord(uint32_t& word) {
    uint8_t b[4] = {0, 0, 0, 0};
    uint32_t count = 0;
    ReadResult r = Read(b, 4, count);
    word = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return r;
}

ReadResult ImageStream::XorWords(uint64_t words, uint32_t& x) {
    // Same outcome as reading the words one by one: each read needs at least one byte, a word cut short by
    // the end of the file counts with zeros in its missing bytes.
    uint8_t block[4096];
    while (words > 0) {
        uint32_t want =
            words > sizeof block / 4 ? static_cast<uint32_t>(sizeof block) : static_cast<uint32_t>(words * 4);
        uint32_t got = 0;
        ReadResult r = Read(block, want, got);
        if (r != ReadResult::Ok)
            return r;
        uint32_t whole = got / 4;
        for (uint32_t i = 0; i < whole; ++i) {
            const uint8_t* p = block + i * 4;
            x ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        }
        words -= whole;
        if (got % 4 != 0) {
            uint8_t tail[4] = {0, 0, 0, 0};
            std::memcpy(tail, block + whole * 4, got % 4);
            x ^= static_cast<uint32_t>(tail[0]) | static_cast<uint32_t>(tail[1]) << 8 |
                 static_cast<uint32_t>(tail[2]) << 16 | static_cast<uint32_t>(tail[3]) << 24;
            words -= 1;
            // The file ended inside that word: the next read, if any is wanted, finds nothing.
            if (words > 0)
                return ReadResult::End;
        } else if (got < want && words > 0) {
            continue;
        }
    }
    return ReadResult::Ok;
}
