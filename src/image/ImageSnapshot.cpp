#include "image/ImageSnapshot.h"

#include "image/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool Refuse(std::string& error, const char* cause) {
    error = cause;
    return false;
}

// Not a regular file: a directory says so in the system's words, anything else in ours.
bool RefuseKind(std::string& error, mode_t mode) {
    return Refuse(error, S_ISDIR(mode) ? std::strerror(EISDIR) : "not a regular file");
}

void SetCreationTime(int fd, ImageSnapshot& out) {
    std::time_t when = 0;
    std::tm local{};
    if (!FileCreationTime(fd, when) || !localtime_r(&when, &local))
        return;
    out.created = {local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                   local.tm_hour, local.tm_min,     local.tm_sec};
    out.hasCreationTime = true;
    // Fixed text, independent of the locale.
    char text[64] = {};
    if (asctime_r(&local, text))
        out.createdText = text;
}

} // namespace

bool ReadImageSnapshot(const std::string& path, ImageSnapshot& out, std::string& error) {
    out = ImageSnapshot{};
    error.clear();
    if (path.empty())
        return Refuse(error, std::strerror(ENOENT));
    if (path.find('\0') != std::string::npos)
        return Refuse(error, std::strerror(EINVAL));
    // The path is looked at before it is opened, and the opened file again, without blocking, in case the
    // path changed in between.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return Refuse(error, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return RefuseKind(error, st.st_mode);
    if (st.st_size > static_cast<off_t>(FLASH_SIZE))
        return Refuse(error, std::strerror(EFBIG));
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Refuse(error, std::strerror(errno));
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        RefuseKind(error, st.st_mode);
    } else if (st.st_size > static_cast<off_t>(FLASH_SIZE)) {
        error = std::strerror(EFBIG);
    } else {
        // Until the end of the file, whatever size it had a moment ago; one byte past the limit says that
        // it grew too large meanwhile.
        out.bytes.resize(static_cast<size_t>(st.st_size) + 1);
        size_t got = 0;
        for (;;) {
            if (got == out.bytes.size()) {
                if (got > FLASH_SIZE)
                    break;
                out.bytes.resize(std::min<size_t>(got * 2 + 4096, FLASH_SIZE + 1u));
            }
            const ssize_t n = read(fd, out.bytes.data() + got, out.bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                if (!ok)
                    error = std::strerror(errno);
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got > FLASH_SIZE) {
            ok = false;
            error = std::strerror(EFBIG);
        }
        out.bytes.resize(ok ? got : 0);
        out.bytes.shrink_to_fit();
        if (ok)
            SetCreationTime(fd, out);
    }
    close(fd);
    if (!ok) {
        out = ImageSnapshot{};
        return false;
    }
    out.path = path;
    out.size = static_cast<uint32_t>(out.bytes.size());
    out.sha256 = Sha256Hex(out.bytes.data(), out.bytes.size());
    return true;
}
