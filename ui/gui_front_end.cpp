#include "app/window_module.h"

#include <QApplication>
#include <QSessionManager>
#include <atomic>

#include "app/core/core.h"
#include "app/core/settings.h"
#include "app/composition_root.h"
#include "ui/desktop_notifier.h"
#include "ui/main_sheet.h"
#include "ui/qt_host.h"

namespace zelmar {

namespace {
std::atomic<CMainSheet*> g_sheet{nullptr};
std::atomic<Core*> g_core{nullptr};
std::atomic<QtHost*> g_host{nullptr};
}  // namespace

void GuiShowMainWindow() {
    if (!g_sheet.load() || !qApp) return;
    QMetaObject::invokeMethod(
        qApp,
        [] {
            if (CMainSheet* sheet = g_sheet.load()) sheet->RestoreMainWindow();
        },
        Qt::QueuedConnection);
}

void GuiRequestExit() {
    if (!g_host.load() || !qApp) return;
    QMetaObject::invokeMethod(
        qApp,
        [] {
            if (QtHost* host = g_host.load()) host->ExitOnSignal();
        },
        Qt::QueuedConnection);
}

int RunGui(int& argc, char** argv, const GuiStart& start) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Zelmar");
    QApplication::setDesktopFileName("zelmar");
    // The window hides in the tray; only the exit procedure ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QtHost host;
    Core core(host, start.startDirectory, start.settingsFile, ScrambleKey());
    DesktopNotifier notifier([&core](StatusMessage message) { core.PostStatusMessage(std::move(message)); });
    RefreshPipeline pipeline = MakeRefreshPipeline();
    pipeline.AddObserver(notifier.Observer([&core] { return core.settings().DesktopNotifications == 1; }));
    host.hiddenNotice = [&core, &notifier](const std::string& caption, const std::string& text) {
        if (core.settings().DesktopNotifications == 1) notifier.Show({caption, text, true});
    };
    InstallServices(core, pipeline);
    StartServices(false);
    CMainSheet sheet(core, start.invisible);
    host.Attach(&core, &sheet);

    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&host](QSessionManager& manager) {
        if (!host.EndSession()) manager.cancel();
    });

    core.Initialise(start.invisible);
    if (!start.invisible && core.settings().IsMinOnStartup != 1) sheet.show();
    sheet.LoadPages();
    g_sheet = &sheet;
    g_core = &core;
    g_host = &host;
    auto network = WatchNetwork(core);
    const int rc = core.closed() ? 0 : app.exec();
    network.reset();
    host.hiddenNotice = nullptr;
    g_sheet = nullptr;
    g_core = nullptr;
    g_host = nullptr;
    host.Shutdown();
    return core.exitFailed() ? 1 : rc;
}

}  // namespace zelmar
