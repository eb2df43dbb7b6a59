#pragma once
// The one way the program shows a message box: centred on the window that was active, kept on the screen,
// white, draggable by its body; returns OK at once when the command line switched message boxes off.

#include "dialog/MessageBoxRules.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <string>

class QWidget;

int CenteredMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style);
// A plain box of the dialog, not centred by the hook (the port-not-found notice).
int PlainMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style);

// The box itself, shown now whatever the rules say (the dialog core has applied them).
int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style,
                   bool centre);

// Where a box of size box goes over the window active: centred on it, then pushed back onto the desktop.
QPoint CentredBoxPosition(const QRect& active, const QSize& box, const QRect& desktop);
