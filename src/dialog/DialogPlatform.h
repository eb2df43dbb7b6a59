#pragma once
// What the dialog core needs of the operating system beyond the layers below it. One source file per
// platform (DialogPlatformPosix.cpp, DialogPlatformWin32.cpp), chosen by the build; PortAccess.h is the
// other half.

#include <string>

// Creates path empty (or empties it) without waiting on a pipe or device; false with the system's reason.
bool CreateEmptyFile(const std::string& path, std::string& error);

class CSerialPort;

// A path that exists but is no serial port (a file, /dev/null, the terminal the program runs in) is refused
// before anything opens it: true with the reason in refusal.
bool RefusePort(const std::string& path, std::string& refusal);
// Why the port could not be opened (held by another program, not permitted, another device); empty when
// nothing is known against it.
std::string PortOpenFault(CSerialPort& port);
