#pragma once
// What the dialog core asks of a face, in the dialog template's own terms: controls named by their ids,
// their texts, enabled and shown states, the two list controls, the indicator bars, the log view, message
// boxes, the refresh timer and the few platform dialogs. A face renders; it decides nothing.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The dialog window itself, for its title.
constexpr int IDC_WINDOW = 0;

class CDialogView {
public:
    virtual ~CDialogView() = default;

    // A control's text: a label, a button's or check box's caption, a group box's title, the edit text of
    // the image combo box, the window's title (IDC_WINDOW).
    virtual void SetText(int id, const std::string& text) = 0;
    virtual std::string Text(int id) = 0;
    virtual void SetToolTip(int id, const std::string& text) = 0;
    virtual void Enable(int id, bool enabled) = 0;
    virtual bool IsEnabled(int id) = 0;
    virtual void Show(int id, bool shown) = 0;
    virtual void Focus(int id) = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    virtual bool IsChecked(int id) = 0;
    // The entries of a list control (the port list, the image combo box) and its chosen entry (-1: none).
    virtual void SetItems(int id, const std::vector<std::string>& items) = 0;
    virtual void SetCurrent(int id, int index) = 0;

    // Indicator bars: the filled part (0..1) and the colours (0xAARRGGBB) of the filled part and the rest.
    virtual void SetProgress(int id, double fraction) = 0;
    virtual void SetColors(int id, uint32_t filled, uint32_t rest) = 0;

    // The log view: characters it holds (a line end counts one), text added at its end (lines end with
    // "\n"), the first count characters taken away.
    virtual int LogLength() = 0;
    virtual void AppendLog(const std::string& text) = 0;
    virtual void DropLogHead(int count) = 0;

    // The room for text in a control, and a text's width there, in the face's own units.
    virtual int TextRoom(int id) = 0;
    virtual int TextWidth(int id, const std::string& text) = 0;

    // A message box shown now (the rules of MessageBoxRules.h have already been applied); IDOK or
    // IDCANCEL. centred: over the active window, kept on the screen; otherwise where the platform puts it.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned style,
                           bool centred) = 0;
    // Runs task once the current step has returned to the face's message loop.
    virtual void Post(std::function<void()> task) = 0;
    // The refresh timer: the face calls the core's OnRefreshTimer every ms milliseconds until stopped.
    virtual void StartTimer(int ms) = 0;
    virtual void StopTimer() = 0;
    // Hot-plug events of serial devices: the face calls the core's OnDeviceChange for each.
    virtual void StartDeviceWatch() = 0;
    virtual void StopDeviceWatch() = 0;

    virtual void BringToFront() = 0;
    // The modal run ends with code.
    virtual void EndDialog(int code) = 0;

    // The platform's file dialogs; "" when the user cancels.
    virtual std::string ChooseImageFile(const std::string& initial) = 0;
    virtual std::string ChooseLogFile(const std::string& initial) = 0;
    virtual void ShowAbout() = 0;
    // Opens the user manual; false with where naming the file refused or the places searched.
    virtual bool OpenHelp(std::string& where) = 0;
};
