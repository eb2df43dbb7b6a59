#include "line/LineFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

int OpenAppendFile(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}

int CreateNewFile(const std::string& path, bool& taken) {
    const int fd =
        _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    taken = fd < 0 && errno == EEXIST;
    return fd;
}

bool WriteWhole(int handle, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const size_t chunk = std::min<size_t>(text.size() - done, 1u << 30);
        const int n = _write(handle, text.data() + done, static_cast<unsigned>(chunk));
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
    // A console or the NUL device cannot be committed; that loses nothing.
    return _commit(handle) == 0 || errno == EBADF || errno == EINVAL;
}

bool CloseFile(int handle) {
    return _close(handle) == 0;
}

std::string SystemErrorText() {
    return std::strerror(errno);
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || name[0] == '\0')
        return "unknown";
    return name;
}

bool TerminalSize(std::FILE* out, size_t& columns, size_t& rows) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info))
        return false;
    columns = static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    rows = static_cast<size_t>(info.srWindow.Bottom - info.srWindow.Top + 1);
    return columns > 0;
}
