// The log file: lines of the log queue appended one at a time, so the file is complete at any moment, and
// the "Save log to file" box that shows its name and size.

#include "LoaderDlg.h"

#include "MessageBox.h"
#include "dialog/ConsoleReport.h"
#include "dialog/LogPath.h"
#include "dialog/Profile.h"
#include "dialog/StringTable.h"
#include "dialog/SystemAccess.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionButton>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

void CLoaderDlg::DrainLogQueue() {
    CChannel& channel = Channel(m_System);
    while (std::optional<std::string> line = channel.m_LogQueue.Pop()) {
        if (m_LogToFile == 1)
            WriteLogFile(*line + "\r\n");
    }
}

void CLoaderDlg::OnSaveLog() {
    if (!m_SaveLog->isChecked()) {
        StopLogFile();
        return;
    }
    Channel(m_System).m_LogQueue.Clear();
    ChooseLogFile();
}

void CLoaderDlg::StopLogFile() {
    m_SaveLog->setChecked(false);
    m_LogToFile = 0;
}

void CLoaderDlg::ChooseLogFile() {
    QString chosen = QFileDialog::getSaveFileName(this, QString(), QString::fromStdString(m_LogFileName),
                                                  QStringLiteral("Log File (*.log);;All Files (*)"));
    if (chosen.isEmpty()) {
        m_SaveLog->setChecked(false);
        return;
    }
    StartLogFile(chosen.toStdString());
}

void CLoaderDlg::StartLogFile(const std::string& path) {
    m_LogFileName = path;
    m_Profile.WriteString("m_FLog", m_LogFileName);
    std::FILE* f = std::fopen(m_LogFileName.c_str(), "wb");
    if (!f) {
        CenteredMessageBox(this, "Create Log File Error", "ERROR", MB_ICONEXCLAMATION);
        m_SaveLog->setChecked(false);
        return;
    }
    std::fclose(f);
    m_LogBytes = 0;
    m_LogToFile = 1;
    m_LogWriteReported = false;
    m_OpenLogName = m_LogFileName;
    WriteLogFile(LoadStr(113) + " " + LoadStr(106) + " " + PROGRAM_VERSION + "\r\n");
    // ctime's form names days and months in English whatever the user's locale; strftime would not.
    std::time_t now = std::time(nullptr);
    char stamp[32] = {};
    if (!ctime_r(&now, stamp))
        stamp[0] = '\0';
    std::string date(stamp);
    if (!date.empty() && date.back() == '\n')
        date.pop_back();
    WriteLogFile(date + "\r\n");
    WriteLogFile("\r\n");
    Channel(m_System).PushStatus(LoadStr(142) + " - " + m_LogFileName);
}

bool CLoaderDlg::StartCommandLineLog() {
    m_LogFileName = m_CmdLogName.empty() ? std::string("terminal.log") : m_CmdLogName;
    // Not blocking: a pipe that nobody reads is refused rather than waited for.
    int fd = ::open(m_LogFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::string reason = m_LogFileName + ": " + std::strerror(errno);
        if (m_AutoMode) {
            if (m_Console)
                m_Console->Notice("ERROR: the log file cannot be created: " + reason);
            m_EndReason = "the log file cannot be created";
            CloseDialog(LOG_FILE_EXIT_CODE);
            return false;
        }
        CenteredMessageBox(this, "Create Log File Error\n" + reason, "ERROR", MB_ICONEXCLAMATION);
        return true;
    }
    ::close(fd);
    m_LogToFile = 1;
    m_LogWriteReported = false;
    m_OpenLogName = m_LogFileName;
    return true;
}

void CLoaderDlg::WriteLogFile(const std::string& text) {
    int error = 0;
    std::FILE* f = std::fopen(m_LogFileName.c_str(), "ab");
    if (!f)
        error = errno;
    else if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        error = errno;
    if (f && std::fclose(f) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        // The line is lost; the user hears of it once, at once.
        if (!m_LogWriteReported) {
            m_LogWriteReported = true;
            Channel(m_System).PushStatus("ERROR: the log file " + m_LogFileName +
                                         " cannot be written: " + std::strerror(error));
        }
        return;
    }
    m_LogBytes += static_cast<double>(text.size());

    char count[48];
    std::snprintf(count, sizeof count, " (%.0f)", m_LogBytes);
    std::string label = m_OpenLogName + count;
    QFontMetrics fm(m_SaveLog->font());
    // The room beside the check mark, measured with the box's own font (a fixed allowance cut the count off).
    QStyleOptionButton option;
    option.initFrom(m_SaveLog);
    int limit =
        m_SaveLog->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, m_SaveLog).width() - 4;
    label = CompactPath(label, limit, [&fm](const std::string& s) {
        return fm.horizontalAdvance(QString::fromLocal8Bit(s.c_str()));
    });
    m_SaveLog->setText(QString::fromLocal8Bit(label.c_str()));
}
