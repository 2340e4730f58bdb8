#include "ui/main_sheet.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/core/core.h"
#include "ui/ddns_page.h"
#include "ui/dialogs.h"
#include "ui/pages.h"
#include "ui/program_icon.h"

namespace zelmar {

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

CMainSheet::CMainSheet(Core& core, bool invisible, QWidget* parent)
    : QMainWindow(parent), core_(core), invisible_(invisible), tray_(new QSystemTrayIcon(this)),
      trayMenu_(new QMenu(this)) {
    setWindowFlags(FrameFlags());
    setWindowTitle("Zelmar");

    // Only the tray icon and its menu exist from the start: a window that
    // begins in the tray may stay there all day, and building its pages
    // would load fonts and lay out text nobody sees. The rest is made when
    // the window is first shown.
    BuildTrayMenu();
    tray_->setToolTip("Zelmar");
    tray_->setContextMenu(trayMenu_);
    UpdateTrayIcon();
    connect(tray_, &QSystemTrayIcon::activated, this, &CMainSheet::TrayActivated);
}

void CMainSheet::EnsureContent() {
    if (tabs_) return;
    // The frame's picture is handed to the window manager in every size at
    // once: only worth it for a window that appears.
    setWindowIcon(ProgramIcon(true));
    tabs_ = new QTabWidget;
    pages_ = {new CLocalSettings(core_), new COptionsPage(core_), new CRemotePage(core_),
              new CProcessMonitor(core_), new CProxyPage(core_), new CEmailPage(core_)};
    const char* titles[6] = {"FTP", "Advanced Options", "Status", "Program Monitor", "Proxy/Firewall",
                             "E-Mail Options"};
    for (int i = 0; i < 6; ++i) {
        tabs_->addTab(pages_[static_cast<std::size_t>(i)], titles[i]);
        connect(pages_[static_cast<std::size_t>(i)], &SettingsPage::modifiedChanged, this,
                &CMainSheet::UpdateSaveButton);
    }
    // Dynamic DNS writes its entries itself: it takes no part in "&Save".
    tabs_->addTab(new CDdnsPage(core_), "Dynamic DNS");
    tabs_->setTabIcon(0, ProgramIcon(true));
    // All six tabs stay in sight: the window is at least as wide as they are.
    tabs_->setUsesScrollButtons(false);
    tabs_->setCurrentIndex(currentPage_);
    connect(static_cast<COptionsPage*>(pages_[kOptionsPage]), &COptionsPage::viewLogRequested, this,
            &CMainSheet::ViewLog);

    refresh_ = new QPushButton("&Refresh");
    save_ = new QPushButton("&Save");
    exit_ = new QPushButton("E&xit");
    refresh_->setEnabled(refreshEnabled_);
    save_->setEnabled(false);
    connect(refresh_, &QPushButton::clicked, this, &CMainSheet::Refresh);
    connect(save_, &QPushButton::clicked, this, &CMainSheet::Save);
    connect(exit_, &QPushButton::clicked, this, &CMainSheet::Exit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(refresh_);
    buttons->addWidget(save_);
    buttons->addWidget(exit_);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(tabs_, 1);
    layout->addLayout(buttons);
    setCentralWidget(central);
    statusBar()->setSizeGripEnabled(false);
    if (!statusText_.isEmpty()) statusBar()->showMessage(statusText_);

    BuildMenuBar();
}

void CMainSheet::setVisible(bool visible) {
    if (visible) EnsureContent();
    QMainWindow::setVisible(visible);
}

CMainSheet::~CMainSheet() = default;

QAction* CMainSheet::AddCommand(QMenu* menu, const QString& text, void (CMainSheet::*slot)(),
                               const QKeySequence& shortcut) {
    QAction* a = menu->addAction(text);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    connect(a, &QAction::triggered, this, slot);
    return a;
}

void CMainSheet::BuildTrayMenu() {
    AddCommand(trayMenu_, "Re&store", &CMainSheet::RestoreMainWindow);
    AddCommand(trayMenu_, "&Refresh", &CMainSheet::Refresh);
    AddCommand(trayMenu_, "&Shutdown", &CMainSheet::Exit);
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, "&Copy LAN IP to clipboard", &CMainSheet::CopyLanAddress);
    AddCommand(trayMenu_, "Copy &WAN IP to clipboard", &CMainSheet::CopyWanAddress);
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, "View &Log", &CMainSheet::ViewLog);
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, "&About Zelmar...", &CMainSheet::About);
}

void CMainSheet::BuildMenuBar() {
    QMenu* file = menuBar()->addMenu("&File");
    AddCommand(file, "&Refresh", &CMainSheet::Refresh, QKeySequence(Qt::Key_F5));
    saveAction_ = AddCommand(file, "&Save", &CMainSheet::Save, QKeySequence::Save);
    saveAction_->setEnabled(false);
    file->addSeparator();
    AddCommand(file, "View &Log", &CMainSheet::ViewLog);
    file->addSeparator();
    AddCommand(file, "E&xit", &CMainSheet::Exit, QKeySequence::Quit);

    QMenu* edit = menuBar()->addMenu("&Edit");
    AddCommand(edit, "&Copy LAN IP to clipboard", &CMainSheet::CopyLanAddress);
    AddCommand(edit, "Copy &WAN IP to clipboard", &CMainSheet::CopyWanAddress);

    QMenu* help = menuBar()->addMenu("&Help");
    AddCommand(help, "&Zelmar Help", &CMainSheet::Help, QKeySequence::HelpContents);
    AddCommand(help, "&About", &CMainSheet::About);
    help->addSeparator();
    AddCommand(help, kProductWebSite, &CMainSheet::OpenWebSite);
}

void CMainSheet::LoadPages() {
    if (!tabs_) return;  // pages not made yet: each loads itself when shown
    for (SettingsPage* p : pages_)
        if (p->isVisible()) p->Load();
}

// --- host requests ---

void CMainSheet::StatusLine(const std::string& displayText) {
    // Kept while the window has no status bar yet, so that the first show
    // says what happened last.
    statusText_ = Q(displayText);
    if (tabs_) statusBar()->showMessage(statusText_);
}

void CMainSheet::SetStatusPage(const StatusPage&) {
    if (!tabs_) return;
    auto* status = static_cast<CRemotePage*>(pages_[kStatusPage]);
    if (status->shown()) status->Load();
}

bool CMainSheet::StatusPageShown() const {
    return tabs_ && static_cast<CRemotePage*>(pages_[kStatusPage])->shown();
}

void CMainSheet::SetTrayOnline(bool online) {
    online_ = online;
    UpdateTrayIcon();
}

void CMainSheet::UpdateTrayIcon() {
    tray_->setIcon(ProgramIcon(online_));
}

void CMainSheet::SetRefreshEnabled(bool enabled) {
    refreshEnabled_ = enabled;
    if (refresh_) refresh_->setEnabled(enabled);
}

void CMainSheet::ShowShutdownWindow(bool visible) {
    if (!shutdownWindow_) {
        if (!visible) return;
        shutdownWindow_ = new CShutdownWindow(this);
    }
    shutdownWindow_->setVisible(visible);
}

Qt::WindowFlags CMainSheet::FrameFlags() {
    // The sheet has no maximised form: its frame offers minimise (to the
    // tray) and close (the exit procedure) only.
    return Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
}

QRect CMainSheet::FirstRestoreRect(const QRect& tabStripOnScreen) {
    return tabStripOnScreen.adjusted(-9, -29, 9, 39);
}

void CMainSheet::ApplyFirstRestore() {
    // Showing the window at start-up is no restore.
    if (firstRestoreDone_ || !minimisedOnce_ || isMinimized()) return;
    firstRestoreDone_ = true;
    const QRect strip(tabs_->mapToGlobal(QPoint(0, 0)), tabs_->size());
    setGeometry(FirstRestoreRect(strip));
}

void CMainSheet::RestoreMainWindow() {
    tray_->hide();
    showNormal();
    // Once after start-up the restored window takes its room around the tabs.
    ApplyFirstRestore();
    raise();
    activateWindow();
}

void CMainSheet::MinimiseMainWindow() {
    if (isVisible()) {
        showMinimized();  // the state change hides the window to the tray
        return;
    }
    // Not shown yet (minimised at start-up).
    minimisedOnce_ = true;
    if (invisible_) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        UpdateTrayIcon();
        tray_->show();
    } else {
        showMinimized();
    }
}

void CMainSheet::CloseMainWindow() {
    closing_ = true;
    tray_->hide();
    if (shutdownWindow_) shutdownWindow_->hide();
    close();
    QCoreApplication::quit();
}

void CMainSheet::ShowPage(int index) {
    currentPage_ = index;
    if (tabs_) tabs_->setCurrentIndex(index);
}

// Until the pages are made nothing can have been edited: there is no mark to
// clear and nothing to save.
bool CMainSheet::SaveEnabled() const { return save_ && save_->isEnabled(); }

// A page that was never shown has empty fields, not the user's settings:
// only pages shown at least once are collected.
void CMainSheet::CollectPages() {
    if (!tabs_) return;
    for (SettingsPage* p : pages_)
        if (p->loaded()) p->Collect();
}

void CMainSheet::CollectFtpPage() {
    if (tabs_ && pages_[kFtpPage]->loaded()) pages_[kFtpPage]->Collect();
}

void CMainSheet::ClearModifiedMarks() {
    if (!tabs_) return;
    for (SettingsPage* p : pages_) p->ClearModified();
    UpdateSaveButton();
}

void CMainSheet::RefreshProgramMonitorPage() {
    if (!tabs_) return;
    auto* monitor = static_cast<CProcessMonitor*>(pages_[kMonitorPage]);
    if (monitor->shownOnce()) monitor->FillList();
}

void CMainSheet::UpdateSaveButton() {
    if (!tabs_) return;
    bool any = false;
    for (SettingsPage* p : pages_) any = any || p->modified();
    save_->setEnabled(any);
    if (saveAction_) saveAction_->setEnabled(any);
}

// --- commands ---

void CMainSheet::Refresh() { core_.ManualRefreshCommand(); }
void CMainSheet::Save() { core_.SaveSettings(); }
void CMainSheet::Exit() { core_.RequestExit(); }

void CMainSheet::CopyLanAddress() {
    QGuiApplication::clipboard()->setText(Q(core_.state().CurrentLanAddress.get()));
    QApplication::beep();
}

void CMainSheet::CopyWanAddress() {
    QGuiApplication::clipboard()->setText(Q(core_.state().CurrentWanAddress.get()));
    QApplication::beep();
}

void CMainSheet::ViewLog() {
    // The log opens in the desktop's viewer for text files; a relative name
    // is taken from the start directory.
    QString path = Q(core_.settings().LogFilename);
    if (QFileInfo(path).isRelative() && !core_.startDirectory().empty())
        path = QDir(Q(core_.startDirectory())).filePath(path);
    if (!path.isEmpty() && QFileInfo::exists(path) && QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
    QMessageBox::critical(this, "Unable to view log", kViewLogFailedText);
}

QString CMainSheet::HelpFile() {
    const QStringList candidates = {
        QCoreApplication::applicationDirPath() + "/../share/zelmar/help/index.html",
        QCoreApplication::applicationDirPath() + "/help/index.html",
#ifdef ZELMAR_HELP_SOURCE_DIR
        QString(ZELMAR_HELP_SOURCE_DIR) + "/index.html",
#endif
    };
    for (const QString& c : candidates)
        if (QFileInfo::exists(c)) return QFileInfo(c).canonicalFilePath();
    return QString();
}

void CMainSheet::Help() {
    const QString file = HelpFile();
    if (!file.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(file))) return;
    QMessageBox::warning(this, "Zelmar", "Unable to open the Zelmar help.");
}

void CMainSheet::OpenWebSite() {
    if (!QDesktopServices::openUrl(QUrl(kProductWebSite)))
        QMessageBox::warning(this, "Zelmar", HyperlinkFailureText(31));
}

void CMainSheet::About() {
    CAboutDlg about(isVisible() ? this : nullptr);
    about.exec();
}

// --- window events ---

void CMainSheet::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    // The window's close button runs the exit procedure.
    event->ignore();
    Exit();
}

void CMainSheet::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && !closing_) {
        minimisedOnce_ = true;
        if (invisible_) {
            QTimer::singleShot(0, this, [this] { hide(); });
        } else if (QSystemTrayIcon::isSystemTrayAvailable()) {
            QTimer::singleShot(0, this, &CMainSheet::HideToTray);
        } else if (!noTrayReported_) {
            // Hiding would lose the window: it stays in the task bar.
            noTrayReported_ = true;
            StatusLine(kNoTrayText);
        }
    }
    // A restore the desktop makes (from the task bar) counts as well.
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && !closing_ && !firstRestoreDone_ &&
        (static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, &CMainSheet::ApplyFirstRestore);
}

void CMainSheet::HideToTray() {
    hide();
    UpdateTrayIcon();
    tray_->show();
}

void CMainSheet::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) RestoreMainWindow();
}

}  // namespace zelmar
