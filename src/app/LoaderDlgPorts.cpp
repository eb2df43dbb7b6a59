// The port list of the dialog: "OFF" and the discovered ports, the remembered choice, device changes.

#include "LoaderDlg.h"

#include "ConsoleReport.h"
#include "MessageBox.h"
#include "PortAccess.h"
#include "PortListItems.h"
#include "Profile.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "serial/PortIdentity.h"

#include <QComboBox>
#include <unistd.h>

void CLoaderDlg::FitPortDropHeight(QComboBox* combo) {
    combo->setMaxVisibleItems(combo->count() + 2);
}

void CLoaderDlg::FillPortList() {
    QComboBox* list = Combo(IDC_PORT_LIST);
    list->clear();
    list->addItem(QString::fromLatin1(g_PortNames[0]));
    for (int i = 1; i <= g_PortCount; ++i)
        list->addItem(QString::fromLocal8Bit(g_PortNames[i]));
    DescribePortItems(list);
    FitPortDropHeight(list);
}

int CLoaderDlg::FindCommandLinePort() {
    QComboBox* list = Combo(IDC_PORT_LIST);
    int found =
        list->findText(QString::fromLocal8Bit(m_CmdPort.c_str()), Qt::MatchExactly | Qt::MatchCaseSensitive);
    // A port that discovery does not list (a pseudo-terminal, a by-id link) is taken when it names a
    // character device.
    if (found < 0 && IsCharDevice(m_CmdPort) && AddPortName(m_CmdPort.c_str())) {
        list->addItem(QString::fromLocal8Bit(m_CmdPort.c_str()));
        DescribePortItems(list);
        FitPortDropHeight(list);
        found = list->count() - 1;
    }
    return found;
}

bool CLoaderDlg::InitPortList() {
    QComboBox* list = Combo(IDC_PORT_LIST);
    FillPortList();
    m_PortIndex = m_Profile.GetInt("iPortId", 1);
    while (m_PortIndex >= list->count())
        --m_PortIndex;
    if (m_PortIndex < 0)
        m_PortIndex = 0;
    // A port named on the command line is chosen with or without an image; only an unattended run ends
    // when it is missing, the dialog keeps the remembered port. A path that exists but is no serial port
    // (a file, /dev/null, the terminal the program runs in) is refused before anything opens it.
    PortIdentity identity;
    std::string refusal;
    if (!m_CmdPort.empty() && access(m_CmdPort.c_str(), F_OK) == 0 &&
        !LookAtPort(m_CmdPort, identity, refusal)) {
        Channel(m_System).Log(refusal);
        if (m_AutoMode) {
            m_PortCause = refusal;
            m_ExitCode = 2;
            return false;
        }
        Channel(m_System).PushStatus(refusal);
    } else if (!m_CmdPort.empty()) {
        int found = FindCommandLinePort();
        if (found < 0) {
            PlainMessageBox(this, LoadStr(163) + " " + m_CmdPort, LoadStr(132), MB_ICONINFORMATION);
            if (m_AutoMode) {
                m_ExitCode = 2;
                return false;
            }
        } else {
            m_PortIndex = found;
        }
    }
    // The port worker retries a refused open without a word; the dialog (and an unattended run) says once
    // why.
    if (m_PortIndex > 0)
        TellPortPermission(Channel(m_System), list->itemText(m_PortIndex).toLocal8Bit().toStdString());
    m_Profile.WriteInt("iPortId", m_PortIndex);
    list->setCurrentIndex(m_PortIndex);
    PortWorker(m_System).RequestPort(static_cast<int16_t>(m_PortIndex));
    return true;
}

void CLoaderDlg::OnPortSelChange(int index) {
    m_PortIndex = index;
    m_Profile.WriteInt("iPortId", m_PortIndex);
    PortWorker(m_System).RequestPort(static_cast<int16_t>(m_PortIndex));
    if (m_PortIndex > 0)
        TellPortPermission(Channel(m_System),
                           Combo(IDC_PORT_LIST)->itemText(m_PortIndex).toLocal8Bit().toStdString());
    RefreshConnection();
    PortOpenedCell(m_System).Set(1);
}

void CLoaderDlg::OnDeviceChange() {
    Channel(m_System).Log("device change");
    if (CSerialPort* port = Port(m_System))
        port->CheckPresence();
    EnumeratePorts();
    RefreshPortList();
    if (Job(m_System).m_Start.Get() == 0)
        RefreshConnection();
}

void CLoaderDlg::RefreshPortList() {
    QComboBox* list = Combo(IDC_PORT_LIST);
    QString remembered = list->itemText(m_PortIndex);
    int oldIndex = m_PortIndex;
    FillPortList();
    int found = list->findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found < 0) {
        list->addItem(remembered);
        DescribePortItems(list);
        FitPortDropHeight(list);
        AddPortName(remembered.toLocal8Bit().constData());
        found = list->count() - 1;
    }
    m_PortIndex = found;
    list->setCurrentIndex(found);
    // The worker opens its port by slot number: when the chosen port now sits in another slot it must be
    // told, or a reopen would take whatever the old slot holds now. A request closes the port, so one that
    // falls into an upload waits until the job is over.
    if (found != oldIndex) {
        if (Job(m_System).m_Start.Get() == 0)
            PortWorker(m_System).RequestPort(static_cast<int16_t>(found));
        else
            m_PendingPortRequest = found;
    }
}
