#include "core/Platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

bool LocalTimeOf(std::time_t when, std::tm& local) {
    return localtime_s(&local, &when) == 0;
}

bool UtcTimeOf(std::time_t when, std::tm& utc) {
    return gmtime_s(&utc, &when) == 0;
}

std::string AscTimeText(const std::tm& when) {
    char text[64] = {};
    return asctime_s(text, sizeof text, &when) == 0 ? std::string(text) : std::string();
}

namespace {

// FILETIME counts 100 ns steps from 1601-01-01; time_t seconds from 1970-01-01.
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;
constexpr uint64_t FILETIME_PER_SECOND = 10000000ULL;

bool ToTime(const FILETIME& ft, std::time_t& when) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks < FILETIME_UNIX_EPOCH)
        return false;
    when = static_cast<std::time_t>((ticks - FILETIME_UNIX_EPOCH) / FILETIME_PER_SECOND);
    return true;
}

// The system's own text for an error code, without the line break it ends with.
std::string ErrorText(DWORD code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

} // namespace

std::FILE* OpenRegularFile(const std::string& path, FileFacts& facts) {
    facts = FileFacts{};
    if (path.empty()) {
        facts.error = ErrorText(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // Without backup semantics a folder cannot be opened; a device or pipe is refused by its type before a
    // byte is read.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        facts.error = ErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        facts.error = "not a regular file";
        return nullptr;
    }
    facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    FILETIME created{};
    if (GetFileTime(h, &created, nullptr, nullptr))
        facts.hasCreated = ToTime(created, facts.created);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        facts.error = std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (!file) {
        facts.error = std::strerror(errno);
        _close(fd); // closes the handle too
    }
    return file;
}

bool PrepareTerminal(std::FILE* out) {
    if (out == nullptr)
        return false;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
        return false; // a file or a pipe
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string ProgramFolder() {
    // Long paths: grow the buffer until the name fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::string();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768)
            return std::string();
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return std::string();
    // A program in a drive's root keeps the separator ("C:\"), as the root of a POSIX path does.
    const bool root = slash == 0 || (slash == 2 && path[1] == ':');
    return path.substr(0, root ? slash + 1 : slash);
}
