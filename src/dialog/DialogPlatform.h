#pragma once
// What the dialog core needs of the operating system beyond the layers below it. One source file per
// platform (DialogPlatformPosix.cpp, DialogPlatformWin32.cpp), chosen by the build; PortAccess.h is the
// other half.

#include <string>

// Creates path empty (or empties it) without waiting on a pipe or device; false with the system's reason.
bool CreateEmptyFile(const std::string& path, std::string& error);
