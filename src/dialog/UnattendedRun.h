#pragma once
// What every face's unattended run shares around the dialog core: the workers' texts from the string table,
// the outcome named by its exit code, and the end of a completed upload (the receiver identified again and
// checked against the image, the summary line).

#include <functional>
#include <string>

class CConsoleReport;
class CDialogCore;
class CSystem;

void ApplyWorkerTexts(CSystem& system);
// A message box told on the console in one line, with what a box that was not shown counts as.
std::string MessageBoxEchoLine(const std::string& caption, const std::string& text, const char* answered);
const char* OutcomeText(int code);
// The exit code of a completed upload once the restarted receiver has been checked; stop ends the wait for
// it early (a signal).
int EndOfUnattendedUpload(CSystem& system, CDialogCore& dlg, CConsoleReport& console, bool verify,
                          const std::function<bool()>& stop = {});
