#include "core/Platform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool LocalTimeOf(std::time_t when, std::tm& local) {
    return localtime_r(&when, &local) != nullptr;
}

bool UtcTimeOf(std::time_t when, std::tm& utc) {
    return gmtime_r(&when, &utc) != nullptr;
}

std::string AscTimeText(const std::tm& when) {
    char text[64] = {};
    return asctime_r(&when, text) ? std::string(text) : std::string();
}

namespace {

bool CreationTime(int fd, std::time_t& when) {
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

std::FILE* OpenRegularFile(const std::string& path, FileFacts& facts) {
    facts = FileFacts{};
    auto fail = [&facts](const char* cause) -> std::FILE* {
        facts.error = cause;
        return nullptr;
    };
    auto kind = [](const struct stat& st) { return S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file"; };
    // The path is looked at before it is opened (opening a FIFO blocks until a writer comes, opening a
    // terminal would touch its lines), and the opened file again, without blocking, in case the path changed.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(kind(st));
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(std::strerror(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        const char* cause = S_ISREG(st.st_mode) ? std::strerror(errno) : kind(st);
        close(fd);
        return fail(cause);
    }
    const int flags = fcntl(fd, F_GETFL);
    std::FILE* file = nullptr;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !(file = fdopen(fd, "rb"))) {
        const int err = errno;
        close(fd);
        return fail(std::strerror(err));
    }
    facts.size = static_cast<uint64_t>(st.st_size);
    facts.hasCreated = CreationTime(fd, facts.created);
    return file;
}

bool PrepareTerminal(std::FILE* out) {
    return out != nullptr && isatty(fileno(out)) != 0;
}

std::string ProgramFolder() {
    char path[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return std::string();
    return std::string(path, slash == path ? 1 : static_cast<size_t>(slash - path));
}
