#pragma once
// The About box: title, version, notice, the maker's address (opens in the browser when clicked) and the
// program's picture.

#include <QDialog>
#include <QIcon>
#include <QPixmap>

class CAboutDlg : public QDialog {
public:
    static constexpr const char* MAKER_ADDRESS = "https://www.kestrin.example/";

    explicit CAboutDlg(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;
};

// The program's picture, a receiver dish on blue, drawn rather than shipped: the window icon, and with the
// program's name beside it the About box's banner.
QIcon ProgramIcon();
QPixmap ProgramBanner(QSize size);
