#include "ui/main_sheet.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QToolButton>
#include <QPixmapCache>
#include <QScreen>
#include <QScrollArea>
#include <QToolTip>
#include <QCursor>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <malloc.h>
#include <sys/mman.h>
#include <cstdio>
#include <cstring>

#include "app/core/core.h"
#include "app/core/messages.h"
#include "ui/ddns_page.h"
#include "ui/dialogs.h"
#include "ui/log_viewer.h"
#include "ui/notifications_page.h"
#include "ui/pages.h"
#include "ui/page_models.h"
#include "ui/program_icon.h"
#include "ui/qt_text.h"

namespace zelmar {

namespace {

// A page in a scroll area that asks for the page's whole size, so that the
// window opens as large as its pages where the screen has the room, and
// can still be made as small as the user likes (the page then scrolls).
class PageScroll : public QScrollArea {
public:
    QSize sizeHint() const override {
        const int f = 2 * frameWidth();
        return widget() ? widget()->sizeHint() + QSize(f, f) : QScrollArea::sizeHint();
    }
};

QWidget* Scrolling(QWidget* page) {
    auto* scroll = new PageScroll;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(page);
    return scroll;
}

// Drops this process's hold on the resident pages of library code (private,
// read-only, executable file mappings: never written, so the kernel maps
// them again from the file cache when next used, where they stay shared
// with every other program that uses them). What showing the window or a
// refresh (the TLS library's set-up) touched once would otherwise stay
// counted as the idle program's memory.
void ReleaseCodePages() {
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return;
    char line[1024];
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        int pathAt = 0;
        if (std::sscanf(line, "%lx-%lx %4s %*s %*s %*s %n", &start, &end, perms, &pathAt) < 3) continue;
        // Only code (r-x, private) of a file: never data, which may hold
        // what the program wrote.
        if (std::strcmp(perms, "r-xp") != 0 || line[pathAt] != '/') continue;
        ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
    std::fclose(maps);
}
}  // namespace

CMainSheet::CMainSheet(Core& core, bool invisible, QWidget* parent)
    : QMainWindow(parent), core_(core), invisible_(invisible), tray_(new QSystemTrayIcon(this)),
      trayMenu_(new QMenu(this)) {
    setWindowFlags(FrameFlags());
    // "[*]": the desktop's mark for unsaved changes appears there.
    setWindowTitle("Zelmar[*]");
    savedForm_ = SavedForm(core_.settings());

    // Only the tray icon and its menu exist from the start: a window that
    // begins in the tray may stay there all day, and building its pages
    // would load fonts and lay out text nobody sees. The rest is made when
    // the window is first shown.
    BuildTrayMenu();
    tray_->setToolTip(TrayToolTip(core_.statusPage()));
    tray_->setContextMenu(trayMenu_);
    UpdateTrayIcon();
    connect(tray_, &QSystemTrayIcon::activated, this, &CMainSheet::TrayActivated);
    // The icon stands for the running program, shown or not ("-I" asks for
    // none at all).
    ShowTrayIcon();
}

void CMainSheet::ShowTrayIcon() {
    if (!invisible_ && !closing_ && QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
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
        tabs_->addTab(Scrolling(pages_[static_cast<std::size_t>(i)]), titles[i]);
        connect(pages_[static_cast<std::size_t>(i)], &SettingsPage::modifiedChanged, this,
                &CMainSheet::UpdateSaveButton);
        connect(pages_[static_cast<std::size_t>(i)], &SettingsPage::messageRequested, this,
                [this](const QString& text) { ShowMessage(text); });
    }
    // Dynamic DNS writes its entries itself: it takes no part in "&Save".
    ddnsPage_ = new CDdnsPage(core_);
    tabs_->addTab(Scrolling(ddnsPage_), "Dynamic DNS");
    // So do the webhooks, the command hook and the other notifications.
    tabs_->addTab(Scrolling(new CNotificationsPage(core_)), "Notifications");
    tabs_->setTabIcon(0, ProgramIcon(true));
    // All six tabs stay in sight: the window is at least as wide as they are.
    tabs_->setUsesScrollButtons(false);
    tabs_->setCurrentIndex(currentPage_);
    connect(static_cast<COptionsPage*>(pages_[kOptionsPage]), &COptionsPage::viewLogRequested, this,
            &CMainSheet::ViewLog);

    // The message line: notes that stay until read (not a box in the way).
    messageBar_ = new QFrame;
    messageBar_->setFrameShape(QFrame::StyledPanel);
    messageBar_->setBackgroundRole(QPalette::ToolTipBase);
    messageBar_->setForegroundRole(QPalette::ToolTipText);
    messageBar_->setAutoFillBackground(true);
    messageLabel_ = new QLabel;
    messageLabel_->setWordWrap(true);
    messageLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* closeMessage = new QToolButton;
    closeMessage->setAutoRaise(true);
    closeMessage->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    closeMessage->setAccessibleName("Close the message");
    connect(closeMessage, &QToolButton::clicked, this, [this] { ShowMessage(QString()); });
    // The way to the page where the cause can be mended.
    messageGo_ = new QPushButton;
    connect(messageGo_, &QPushButton::clicked, this, [this] {
        ShowPage(messagePlace_ == static_cast<int>(MessageBoxRequest::Page::Email) ? kEmailPage : kFtpPage);
    });
    auto* messageRow = new QHBoxLayout(messageBar_);
    messageRow->setContentsMargins(6, 2, 2, 2);
    messageRow->addWidget(messageLabel_, 1);
    messageRow->addWidget(messageGo_, 0, Qt::AlignTop);
    messageRow->addWidget(closeMessage, 0, Qt::AlignTop);
    // Once per run, for settings nothing was entered in yet.
    if (!firstRunShown_ && NothingConfigured(core_.settings())) {
        firstRunShown_ = true;
        messageText_ = Q(FirstRunText(core_.ini().path()));
        messagePlace_ = static_cast<int>(MessageBoxRequest::Page::Ftp);
    }
    ApplyMessage();

    refresh_ = new QPushButton("&Refresh");
    save_ = new QPushButton("&Save");
    exit_ = new QPushButton("E&xit");
    refresh_->setEnabled(refreshEnabled_);
    save_->setEnabled(carriedModified_);
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
    layout->addWidget(messageBar_);
    layout->addWidget(tabs_, 1);
    layout->addLayout(buttons);
    setCentralWidget(central);
    statusBar()->setSizeGripEnabled(false);
    // The status line is a label of the bar, not its passing message, which
    // a menu's (empty) status tip would wipe out; a copy's confirmation
    // still passes over it for a few seconds.
    statusLabel_ = new QLabel(statusText_);
    statusLabel_->setAccessibleName("Status line");
    statusBar()->addWidget(statusLabel_, 1);

    BuildMenuBar();
}

void CMainSheet::setVisible(bool visible) {
    if (visible) EnsureContent();
    if (visible && !sized_ && savedGeometry_.isEmpty()) {
        sized_ = true;
        FitToScreen();
    }
    QMainWindow::setVisible(visible);
}

void CMainSheet::FitToScreen() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    // The frame is the window manager's and unknown before the first map:
    // room is kept for a title bar and borders of a common size.
    const QSize room = screen->availableGeometry().size() - QSize(24, 64);
    resize(sizeHint().boundedTo(room).expandedTo(minimumSizeHint()));
}

CMainSheet::~CMainSheet() {
    // The pages go while this window's own members are still there: a
    // field losing the focus as it is destroyed may still check its value
    // and ask for the message line.
    if (tabs_)
        for (SettingsPage* p : pages_) p->disconnect(this);
    delete takeCentralWidget();
}

QAction* CMainSheet::AddCommand(QMenu* menu, const QString& text, void (CMainSheet::*slot)(),
                               const QKeySequence& shortcut) {
    QAction* a = menu->addAction(text);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    connect(a, &QAction::triggered, this, slot);
    return a;
}

void CMainSheet::BuildTrayMenu() {
    trayMenu_->setDefaultAction(AddCommand(trayMenu_, "&Open Zelmar", &CMainSheet::RestoreMainWindow));
    AddCommand(trayMenu_, "&Refresh Now", &CMainSheet::Refresh);
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, "Copy &WAN Address", &CMainSheet::CopyWanAddress);
    AddCommand(trayMenu_, "Copy &LAN Address", &CMainSheet::CopyLanAddress);
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, "&Quit", &CMainSheet::Exit);
}

void CMainSheet::BuildMenuBar() {
    QMenu* file = menuBar()->addMenu("&File");
    AddCommand(file, "&Refresh", &CMainSheet::Refresh, QKeySequence(Qt::Key_F5));
    saveAction_ = AddCommand(file, "&Save", &CMainSheet::Save, QKeySequence::Save);
    saveAction_->setEnabled(false);
    file->addSeparator();
    AddCommand(file, "View &Log", &CMainSheet::ViewLog);
    file->addSeparator();
    AddCommand(file, "&Quit", &CMainSheet::Exit, QKeySequence::Quit);

    QMenu* edit = menuBar()->addMenu("&Edit");
    AddCommand(edit, "Copy &WAN Address", &CMainSheet::CopyWanAddress);
    AddCommand(edit, "Copy &LAN Address", &CMainSheet::CopyLanAddress);

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

void CMainSheet::ShowMessage(const QString& text, int place) {
    messageText_ = text;
    messagePlace_ = text.isEmpty() ? 0 : place;
    // Applied from the event loop: a field's check runs while the focus
    // moves (a page being switched away), not a time to lay out the window.
    QMetaObject::invokeMethod(this, [this] { ApplyMessage(); }, Qt::QueuedConnection);
}

void CMainSheet::ApplyMessage() {
    if (!messageBar_) return;
    messageLabel_->setText(messageText_);
    const bool email = messagePlace_ == static_cast<int>(MessageBoxRequest::Page::Email);
    messageGo_->setText(email ? "E-Mail Options" : "FTP Settings");
    messageGo_->setVisible(messagePlace_ != 0);
    messageBar_->setVisible(!messageText_.isEmpty());
}

void CMainSheet::StatusLine(const std::string& displayText) {
    // Kept while the window has no status bar yet, so that the first show
    // says what happened last.
    statusText_ = Q(displayText);
    if (statusLabel_) statusLabel_->setText(statusText_);
}

QString CMainSheet::TrayToolTip(const StatusPage& page) {
    auto value = [](const Address& a) { return a.known() ? Q(a.text()) : QString("not known yet"); };
    const AddressSet& a = page.addresses;
    QString tip = QString("Zelmar\nWAN address: %1\nLAN address: %2").arg(value(a.wan), value(a.lan));
    if (a.wan6.known() || a.lan6.known())
        tip += QString("\nWAN IPv6: %1\nLAN IPv6: %2").arg(value(a.wan6), value(a.lan6));
    return tip + QString("\nLast refresh: %1").arg(page.lastRefreshed.empty() ? QString("none yet") : Q(page.lastRefreshed));
}

void CMainSheet::SetStatusPage(const StatusPage& page) {
    tray_->setToolTip(TrayToolTip(page));
    if (!tabs_) return;
    // A refresh's outcomes show on the page in view, not only at its next show.
    if (ddnsPage_->isVisible()) ddnsPage_->Reload();
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
    tray_->setIcon(ProgramIcon(online_, true));
}

void CMainSheet::SetRefreshEnabled(bool enabled) {
    refreshEnabled_ = enabled;
    if (!refresh_) {
        if (enabled && !isVisible()) QTimer::singleShot(2000, this, [] { ReleaseCodePages(); });
        return;
    }
    // Disabling the focused button would hand the focus on to the next one
    // ("E&xit"); after the refresh it comes back to "&Refresh".
    if (!enabled && refresh_->hasFocus()) refreshPending_ = true;
    refresh_->setEnabled(enabled);
    // A refresh ended: once it has settled, what it touched goes back.
    if (enabled && !isVisible()) QTimer::singleShot(2000, this, [] { ReleaseCodePages(); });
    if (enabled && refreshPending_) {
        refreshPending_ = false;
        if (isVisible()) refresh_->setFocus(Qt::OtherFocusReason);
    }
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

QRect CMainSheet::ClampToScreen(const QRect& frame, const QRect& available) {
    if (available.isEmpty()) return frame;
    QRect r(frame.topLeft(), frame.size().boundedTo(available.size()));
    if (r.right() > available.right()) r.moveRight(available.right());
    if (r.bottom() > available.bottom()) r.moveBottom(available.bottom());
    if (r.left() < available.left()) r.moveLeft(available.left());
    if (r.top() < available.top()) r.moveTop(available.top());
    return r;
}

void CMainSheet::RestoreSavedGeometry() {
    // The first show is the window manager's to place. After that the frame
    // comes back where the user left it, unless that place is gone (a screen
    // unplugged, a smaller resolution): then it is moved onto the screen.
    if (savedGeometry_.isEmpty() || !restoreGeometry(savedGeometry_)) return;
    QScreen* screen = QGuiApplication::screenAt(frameGeometry().center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect frame = frameGeometry();
    const QRect clamped = ClampToScreen(frame, screen->availableGeometry());
    if (clamped != frame) {
        const QSize frameExtra = frame.size() - geometry().size();
        resize(clamped.size() - frameExtra);
        move(clamped.topLeft());
    }
}

void CMainSheet::RestoreMainWindow() {
    if (isHidden()) RestoreSavedGeometry();
    showNormal();
    raise();
    activateWindow();
}

void CMainSheet::MinimiseMainWindow() {
    if (isVisible()) {
        showMinimized();  // the state change hides the window to the tray
        return;
    }
    // Not shown yet (minimised at start-up).
    if (invisible_) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        ShowTrayIcon();
    } else {
        showMinimized();
    }
}

void CMainSheet::CloseMainWindow() {
    closing_ = true;
    tray_->hide();
    if (shutdownWindow_) shutdownWindow_->hide();
    if (logViewer_) logViewer_->close();
    close();
    QCoreApplication::quit();
}

void CMainSheet::ShowPage(int index) {
    currentPage_ = index;
    if (tabs_) tabs_->setCurrentIndex(index);
}

// Until the pages are made nothing can have been edited: there is no mark to
// clear and nothing to save.
bool CMainSheet::SaveEnabled() const { return save_ ? save_->isEnabled() : carriedModified_; }

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
    savedForm_ = SavedForm(core_.settings());
    carriedModified_ = false;
    setWindowModified(false);
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
    bool any = carriedModified_;
    bool unsettled = false;
    for (SettingsPage* p : pages_) {
        any = any || p->modified();
        unsettled = unsettled || p->unsettled();
    }
    // Every value set back to what was saved: nothing is left to save, and
    // the mark goes (a field still being typed in is judged when it is left).
    if (any && !unsettled && SavedForm(core_.settings()) == savedForm_) {
        carriedModified_ = false;
        for (SettingsPage* p : pages_) p->ClearModified();
        any = false;
    }
    save_->setEnabled(any);
    if (saveAction_) saveAction_->setEnabled(any);
    setWindowModified(any);
}

// --- commands ---

void CMainSheet::Refresh() { core_.ManualRefreshCommand(); }
void CMainSheet::Save() { core_.SaveSettings(); }
void CMainSheet::Exit() { core_.RequestExit(); }

void CMainSheet::CopyLanAddress() {
    const QString address = Q(core_.statusPage().addresses.lan.Plain());
    QGuiApplication::clipboard()->setText(address);
    Confirm(Q(address.isEmpty() ? Text<Msg::NoAddressToCopy>("LAN") : Text<Msg::AddressCopied>("LAN", address.toStdString())));
}

void CMainSheet::CopyWanAddress() {
    const QString address = Q(core_.statusPage().addresses.wan.Plain());
    QGuiApplication::clipboard()->setText(address);
    Confirm(Q(address.isEmpty() ? Text<Msg::NoAddressToCopy>("WAN") : Text<Msg::AddressCopied>("WAN", address.toStdString())));
}

void CMainSheet::Confirm(const QString& text) {
    lastConfirmation_ = text;
    if (tabs_ && isVisible()) {
        // For a few seconds; then the status line shows again.
        statusBar()->showMessage(text, 4000);
    } else {
        QToolTip::showText(QCursor::pos(), text);
    }
}

void CMainSheet::ViewLog() {
    // The log opens in a viewer of the program's own, so that it works
    // without any desktop helper; a relative name is taken from the start
    // directory.
    QString path = Q(core_.settings().LogFilename);
    if (QFileInfo(path).isRelative() && !core_.startDirectory().empty())
        path = QDir(Q(core_.startDirectory())).filePath(path);
    if (!logViewer_) logViewer_ = new CLogViewer;
    logViewer_->Open(path);
    logViewer_->show();
    logViewer_->raise();
    logViewer_->activateWindow();
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
    if (file.isEmpty()) {
        ShowMessage(Q(Text<Msg::HelpNotInstalled>()));
        return;
    }
    // The desktop's opener may start and find no browser: where the help is
    // is said in any case, so that it can be opened by hand.
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(file)))
        Confirm(Q(Text<Msg::HelpOpened>(file.toStdString())));
    else
        ShowMessage(OpenFailureText(file));
}

void CMainSheet::OpenWebSite() {
    if (!QDesktopServices::openUrl(QUrl(kProductWebSite)))
        QMessageBox::warning(isVisible() ? this : nullptr, "Zelmar", OpenFailureText(kProductWebSite));
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
}

void CMainSheet::HideToTray() {
    // The normal frame's place and size (the minimised state is not part of
    // it), for the next restore.
    savedGeometry_ = saveGeometry();
    hide();
    ShowTrayIcon();
    // What the window held is given back once it is out of sight.
    QTimer::singleShot(0, this, &CMainSheet::ReleaseContent);
}

void CMainSheet::ReleaseContent() {
    // Not while a dialog of a page is open, nor while the window is up.
    if (!tabs_ || isVisible() || closing_ || QApplication::activeModalWidget() || QApplication::activePopupWidget())
        return;
    // The pages' edits are in the settings already; their marks are kept
    // for "&Save".
    CollectPages();
    for (SettingsPage* p : pages_) carriedModified_ = carriedModified_ || p->modified();
    currentPage_ = tabs_->currentIndex();
    delete takeCentralWidget();
    setMenuWidget(nullptr);  // both deleted later by the window
    setStatusBar(nullptr);
    tabs_ = nullptr;
    messageBar_ = nullptr;
    messageLabel_ = nullptr;
    messageGo_ = nullptr;
    statusLabel_ = nullptr;
    ddnsPage_ = nullptr;
    pages_ = {};
    refresh_ = save_ = exit_ = nullptr;
    saveAction_ = nullptr;
    setWindowIcon(QIcon());
    // The frame's window on the X server and its drawing buffer (shared
    // memory the size of the window) are made again at the next show.
    destroy();
    // Once the deferred deletions ran: pictures are cached apart from the
    // widgets, the freed heap goes back to the system, and the library code
    // that only drawing and laying out the window touched is let go (it
    // stays in the system's file cache, shared with other Qt programs).
    QTimer::singleShot(50, this, [] {
        QPixmapCache::clear();
        ::malloc_trim(0);
        ReleaseCodePages();
    });
}

void CMainSheet::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // One click shows or hides the window; the menu has the rest.
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick) return;
    // A window another one covers is brought to the front, not hidden.
    const bool up = isVisible() && !isMinimized() && isActiveWindow();
    if (reason == QSystemTrayIcon::Trigger && up) {
        HideToTray();
    } else {
        RestoreMainWindow();
    }
}

}  // namespace zelmar
