#pragma once
// The user manual GNSS.html, opened with the desktop's browser.

#include <string>
#include <vector>

// Where the manual may lie: beside the program (the build folder), then in the documentation folder of an
// installed program.
std::vector<std::string> HelpFileCandidates(const std::string& programDir);
// Opens the first candidate that exists. False when none exists or the desktop refuses it; where then
// names the file that was refused, or every place that was searched.
bool OpenHelpFile(const std::string& programDir, std::string& where);
