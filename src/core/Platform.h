#pragma once
// What differs between the operating systems below the programs: the broken-down time of day, a regular
// file opened with its size and creation time, and the folder of the running program. One source file per
// platform (PlatformPosix.cpp, PlatformWin32.cpp), chosen by the build.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Local and universal broken-down time of when; false when the system cannot convert it.
bool LocalTimeOf(std::time_t when, std::tm& local);
bool UtcTimeOf(std::time_t when, std::tm& utc);
// The C library's fixed text of a time, independent of the locale: "Www Mmm dd hh:mm:ss yyyy\n".
std::string AscTimeText(const std::tm& when);

struct FileFacts {
    uint64_t size = 0;
    bool hasCreated = false;
    // Birth time where the file system keeps one, else the modification time.
    std::time_t created = 0;
    // Why the file could not be opened, in the system's words; empty when it was.
    std::string error;
};
// Opens path for binary reading when it names a regular file; a folder, FIFO or device is refused without
// blocking on it or touching it. nullptr when it cannot be opened.
std::FILE* OpenRegularFile(const std::string& path, FileFacts& facts);

// True when out is a terminal that takes the cursor-movement sequences (ESC [); on Windows the console's
// handling of them is switched on here, and a console that cannot do it counts as no terminal.
bool PrepareTerminal(std::FILE* out);

// The folder of the running program without a trailing separator; "" when the system does not tell.
std::string ProgramFolder();
