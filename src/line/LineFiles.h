#pragma once
// The station's files that must not lose a line, and its terminal: records appended whole, logs created new
// (never over another file), each synced to the disk. A handle is a small number, -1 when a call failed; the
// reason is then SystemErrorText(). One source file per platform.

#include <cstddef>
#include <cstdio>
#include <string>

// Opens path for appending (made when missing); every write lands at the end, whole.
int OpenAppendFile(const std::string& path);
// Creates path; -1 with taken set when a file of that name exists.
int CreateNewFile(const std::string& path, bool& taken);
// Writes all of text; false when any of it could not be written (a full disk).
bool WriteWhole(int handle, const std::string& text);
// Puts what was written on the disk; true also for a device that cannot be synced (a terminal, /dev/null).
bool SyncFile(int handle);
bool CloseFile(int handle);
// The system's words for the last failure of the calls above.
std::string SystemErrorText();
// How many columns and rows the terminal (console) out shows; false when not known.
bool TerminalSize(std::FILE* out, size_t& columns, size_t& rows);
// This computer's name, or "unknown".
std::string HostName();
