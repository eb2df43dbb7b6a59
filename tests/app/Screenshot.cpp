// Renders the dialog in a typical moment of an upload (image loaded, receiver identified, programming under
// way) into a PNG for the documentation: dialog_screenshot OUT.png

#include "ImageWriter.h"
#include "TestDir.h"
#include "app/LoaderDlg.h"
#include "app/MessageBox.h"
#include "app/Profile.h"
#include "app/SystemAccess.h"
#include "core/Clock.h"
#include "sim/SimReceiver.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    SetMessageBoxesOff(true);
    CTestDir dir;

    UnionParams params;
    params.fwVersion = "G205";
    params.fwSize = 0x60000;
    Bytes bytes;
    std::string error;
    std::string image = dir.File("VX20_G205.bin");
    if (!BuildUnionImage(params, bytes, error) || !WriteFile(image, bytes.data(), bytes.size(), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    SimOptions options;
    options.raw = true;
    options.model = "VX20";
    options.version = "G201";
    options.options = "GPS-GLO-GAL";
    options.serial = "KV004711";
    CSimReceiver sim(options);
    if (!sim.Open(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::thread simThread([&sim] { sim.Run(); });

    auto profile = CProfile::FromFile(dir.File("settings.ini"));
    int code = 1;
    {
        CSystem system;
        system.StartWorkers();
        CLoaderDlg dlg(system, *profile);
        dlg.OnInitDialog();
        dlg.show();
        AddPortName(sim.SlavePath().c_str());
        dlg.FillPortList();
        dlg.Combo(IDC_PORT_LIST)->setCurrentIndex(g_PortCount);
        dlg.OnPortSelChange(g_PortCount);
        dlg.Combo(IDC_IMAGE_COMBO)->setEditText(QString::fromStdString(image));
        dlg.RefreshImageInfo();
        uint32_t start = TickMs();
        while (ElapsedMs(start) < 10000 && !dlg.Label(IDC_RECEIVER)->text().startsWith("VX20")) {
            dlg.OnRefreshTimer();
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // A moment of programming, as the worker would publish it.
        dlg.OnRefreshTimer();
        dlg.LogView()->clear();
        const char* shown = "/home/user/firmware/VX20_G205.bin";
        system.m_Channel.PushStatus(std::string("Check image file name - ") + shown);
        system.m_Channel.PushStatus("Erasing FLASH memory");
        system.m_Channel.PushStatus("Programming");
        system.m_Job.m_Phase.Set(3);
        system.m_Job.m_Progress.Set(420);
        dlg.m_Idle.Set(0);
        system.m_Job.m_Start.Set(1);
        dlg.OnRefreshTimer();
        QApplication::processEvents();
        dlg.Combo(IDC_IMAGE_COMBO)->setEditText(QString::fromLatin1(shown));
        QApplication::processEvents();
        code = dlg.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
        system.m_Job.m_Start.Set(0);
        system.Shutdown();
    }
    sim.Stop();
    simThread.join();
    return code;
}
