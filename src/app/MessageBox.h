#pragma once
// The one way the program shows a message box: centred on the window that was active, kept on the screen,
// white, draggable by its body; returns OK at once when the command line switched message boxes off.

#include <QPoint>
#include <QRect>
#include <QSize>
#include <functional>
#include <string>

class QWidget;

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

int CenteredMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style);
// A plain box of the dialog, not centred by the hook (the port-not-found notice).
int PlainMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style);

// Where a box of size box goes over the window active: centred on it, then pushed back onto the desktop.
QPoint CentredBoxPosition(const QRect& active, const QSize& box, const QRect& desktop);
