#pragma once
// What every message box of the dialog obeys, whichever face shows it: the style flags and results, the
// command line's "message boxes off", the echo of an unattended run on the console, and what a box that is
// not shown counts as.

#include <functional>
#include <string>

// Style flags and results in the values the rest of the program speaks.
enum : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2 };

// Option "m".
void SetMessageBoxesOff(bool off);
bool MessageBoxesOff();
// With message boxes off: a question (OK and Cancel) counts as answered Cancel instead of OK. For a run
// that nobody watches and that was not told with "m" to go ahead.
void SetQuestionsRefused(bool refused);

// Unattended runs also tell every message-box text on the console, shown or not; answered tells what a box
// that was not shown counts as.
void SetMessageBoxEcho(
    std::function<void(const std::string& caption, const std::string& text, const char* answered)> echo);

// The part of every box before it is shown: the echo, and with boxes off the answer at once (true, with
// answer set). False when the face is to show the box.
bool AnswerWithoutBox(const std::string& text, const std::string& caption, unsigned style, int& answer);
