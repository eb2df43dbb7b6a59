#include "line/LineFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int OpenAppendFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int CreateNewFile(const std::string& path, bool& taken) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    taken = fd < 0 && errno == EEXIST;
    return fd;
}

bool WriteWhole(int handle, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(handle, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SyncFile(int handle) {
    return fsync(handle) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP;
}

bool CloseFile(int handle) {
    return close(handle) == 0;
}

std::string SystemErrorText() {
    return std::strerror(errno);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

bool TerminalSize(std::FILE* out, size_t& columns, size_t& rows) {
    winsize ws{};
    if (ioctl(fileno(out), TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0)
        return false;
    columns = ws.ws_col;
    rows = ws.ws_row;
    return true;
}
