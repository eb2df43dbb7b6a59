#pragma once
// The About box: title, version, notice and the maker's address, which opens in the browser when clicked.

#include <QDialog>

class CAboutDlg : public QDialog {
public:
    static constexpr const char* MAKER_ADDRESS = "https://www.kestrin.example/";

    explicit CAboutDlg(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;
};
