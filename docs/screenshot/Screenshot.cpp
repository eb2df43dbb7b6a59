// Renders the dialog for the documentation, offscreen, against the simulated receiver in this process:
// idle with an image chosen and the receiver identified, during programming, and the About box.
//   dialog_screenshot OUTDIR   writes kavrel-idle.png, kavrel-programming.png, kavrel-about.png

#include "ImageWriter.h"
#include "app/AboutDlg.h"
#include "app/ColorBar.h"
#include "app/LoaderDlg.h"
#include "app/MessageBox.h"
#include "app/QtProfile.h"
#include "core/Clock.h"
#include "sim/SimReceiver.h"
#include "upload/System.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

// Lets the dialog run (its timer, the workers) until done holds; false after the limit.
bool RunUntil(const std::function<bool()>& done, uint32_t limitMs) {
    uint32_t start = TickMs();
    while (!done()) {
        if (ElapsedMs(start) > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool Save(QWidget& w, const std::string& dir, const char* name) {
    QApplication::processEvents();
    bool ok = w.grab().save(QString::fromStdString(dir + "/" + name), "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", (dir + "/" + name).c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    SetMessageBoxesOff(true);
    std::string out = argv[1];
    char work[] = "/tmp/kv_screenshot_XXXXXX";
    if (!mkdtemp(work))
        return 1;
    std::string dir = work;

    UnionParams params;
    params.fwVersion = "G205";
    params.fwSize = 0x60000;
    Bytes bytes;
    std::string error;
    std::string image = dir + "/VX20_G205.bin";
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
    options.eraseMs = 20;
    options.programMs = 40;
    CSimReceiver sim(options);
    if (!sim.Open(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::thread simThread([&sim] { sim.Run(); });

    auto profile = CQtProfile::FromFile(dir + "/settings.ini");
    // The image was chosen in an earlier run, as a user's would be.
    profile->WriteInt("n", 1);
    profile->WriteString("recfile0", image);
    bool ok = false;
    {
        CSystem system;
        system.StartWorkers();
        CLoaderDlg dlg(system, *profile);
        dlg.m_CmdPort = sim.SlavePath();
        dlg.OnInitDialog();
        dlg.show();
        auto* receiver = dlg.findChild<QLabel*>(QStringLiteral("1039"));
        auto* upload = dlg.findChild<QPushButton*>(QStringLiteral("1006"));
        auto* bar = dlg.findChild<CColorBar*>(QStringLiteral("1005"));
        ok = RunUntil([&] { return receiver->text().startsWith("VX20") && upload->isEnabled(); }, 20000) &&
             Save(dlg, out, "kavrel-idle.png");
        upload->click();
        auto* view = dlg.findChild<QPlainTextEdit*>(QStringLiteral("1007"));
        ok = ok && RunUntil([&] { return view->toPlainText().contains("Programming"); }, 60000) &&
             RunUntil([&] { return bar->Fill() > (bar->width() - 6) * 2 / 5; }, 120000) &&
             Save(dlg, out, "kavrel-programming.png");
        CAboutDlg about(&dlg);
        about.show();
        ok = ok && Save(about, out, "kavrel-about.png");
        system.Shutdown();
    }
    sim.Stop();
    simThread.join();
    std::string clean = "rm -rf '" + dir + "'";
    if (std::system(clean.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return ok ? 0 : 1;
}
