// CMainSheet: the main window. A tabbed sheet of six pages with a menu bar,
// the buttons "&Refresh", "&Save" and "E&xit", a status line, and the tray
// icon that stands for the window while it is minimised.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QKeySequence>
#include <QLabel>
#include <QRect>
#include <QSystemTrayIcon>
#include <array>
#include <string>
#include <vector>

#include "app/core/host.h"
#include "ui/log_viewer.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QTabWidget;

namespace zelmar {

class Core;
class SettingsPage;
class CLocalSettings;
class COptionsPage;
class CRemotePage;
class CProcessMonitor;
class CProxyPage;
class CEmailPage;
class CShutdownWindow;
class CDdnsPage;

inline constexpr const char* kNoTrayText =
    "No system tray is available: Zelmar stays minimised in the task bar.";
inline constexpr const char* kViewLogFailedText =
    "Unable to open the log in a text viewer. Please make sure a text editor is installed and try again.";

// Page indexes (other parts of the program switch to a page by its index).
enum PageIndex { kFtpPage = 0, kOptionsPage, kStatusPage, kMonitorPage, kProxyPage, kEmailPage };

class CMainSheet : public QMainWindow {
    Q_OBJECT
public:
    // invisible: the "-I" switch (minimised, never a tray icon).
    CMainSheet(Core& core, bool invisible, QWidget* parent = nullptr);
    ~CMainSheet() override;

    // --- what the host asks of the window ---
    void StatusLine(const std::string& displayText);
    void SetStatusPage(const StatusPage& page);
    bool StatusPageShown() const;
    void SetTrayOnline(bool online);
    void SetRefreshEnabled(bool enabled);
    void ShowShutdownWindow(bool visible);
    void RestoreMainWindow();
    void MinimiseMainWindow();
    void CloseMainWindow();
    void ShowPage(int index);
    bool SaveEnabled() const;
    void CollectPages();
    void CollectFtpPage();
    void ClearModifiedMarks();
    void RefreshProgramMonitorPage();

    // Fills the pages from the settings (after they were loaded).
    void LoadPages();

    // --- commands ---
    void Refresh();
    void Save();
    void Exit();
    void CopyLanAddress();
    void CopyWanAddress();
    void ViewLog();
    void Help();
    void OpenWebSite();
    void About();

    // For tests and screenshots: these make the window's content when it
    // was not made yet.
    QTabWidget* tabs() { return EnsureContent(), tabs_; }
    SettingsPage* page(int index) { return EnsureContent(), pages_[static_cast<std::size_t>(index)]; }
    QPushButton* refreshButton() { return EnsureContent(), refresh_; }
    QPushButton* saveButton() { return EnsureContent(), save_; }
    QPushButton* exitButton() { return EnsureContent(), exit_; }
    // Whether the pages, buttons and menu bar have been made (at the first show).
    bool contentMade() const { return tabs_ != nullptr; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_; }
    bool closing() const { return closing_; }
    // The message line above the pages: a note the user closes (empty text:
    // hidden). Kept while the pages are not made. place, when not 0, is a
    // MessageBoxRequest::Page: the line then offers a way to that page.
    void ShowMessage(const QString& text, int place = 0);
    QString message() const { return messageText_; }
    // The status line as shown (the last status message).
    QString statusLine() const { return statusLabel_ ? statusLabel_->text() : statusText_; }
    bool statusLineVisible() const { return statusLabel_ && statusLabel_->isVisible(); }
    // What the last copy command said (status line or tooltip).
    const QString& lastConfirmation() const { return lastConfirmation_; }
    CLogViewer* logViewer() const { return logViewer_; }

    // The help page opened by "&Zelmar Help" (empty when none is installed).
    static QString HelpFile();

    // A frame rectangle moved (and, when larger, cut) so that it lies on the
    // available screen area: at the least its title bar can be grabbed.
    static QRect ClampToScreen(const QRect& frame, const QRect& available);
    // The window frame's buttons: minimise and close, never maximise.
    static Qt::WindowFlags FrameFlags();
    // The tray icon's tooltip: the addresses and the time of the last refresh.
    static QString TrayToolTip(const StatusPage& page);
    // Drops the pages, buttons and menus of a window back in the tray (they
    // are made again at the next show), and hands the freed memory back.
    void ReleaseContent();

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void EnsureContent();
    void BuildTrayMenu();
    void BuildMenuBar();
    QAction* AddCommand(QMenu* menu, const QString& text, void (CMainSheet::*slot)(),
                        const QKeySequence& shortcut = QKeySequence());
    void UpdateSaveButton();
    void HideToTray();
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);
    void UpdateTrayIcon();
    void ShowTrayIcon();
    void Confirm(const QString& text);
    void RestoreSavedGeometry();
    void ApplyMessage();
    // The first size: the pages' own where the screen has room, else the
    // screen's available area (the pages then scroll).
    void FitToScreen();

    Core& core_;
    bool invisible_;
    bool online_ = false;
    bool closing_ = false;
    bool noTrayReported_ = false;
    // The frame's place and size when it last went to the tray, empty until
    // then: the first show is placed by the window manager.
    QByteArray savedGeometry_;
    // Unsaved changes of pages that were released while in the tray.
    bool carriedModified_ = false;
    // The settings as last saved (or loaded): what a set-back value is
    // compared with.
    std::vector<std::string> savedForm_;
    bool refreshPending_ = false;  // "&Refresh" gets the focus back when enabled again
    // Made at the first show (EnsureContent); until then null, and the
    // host's requests are kept in the three fields below.
    QTabWidget* tabs_ = nullptr;
    std::array<SettingsPage*, 6> pages_{};
    QPushButton* refresh_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* exit_ = nullptr;
    QString statusText_;
    bool refreshEnabled_ = true;
    int currentPage_ = 0;
    QAction* saveAction_ = nullptr;
    QSystemTrayIcon* tray_;
    QMenu* trayMenu_;
    CShutdownWindow* shutdownWindow_ = nullptr;
    QPointer<CLogViewer> logViewer_;  // deletes itself when closed
    QString messageText_;
    QFrame* messageBar_ = nullptr;
    QLabel* messageLabel_ = nullptr;
    QPushButton* messageGo_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    CDdnsPage* ddnsPage_ = nullptr;
    int messagePlace_ = 0;
    bool firstRunShown_ = false;
    bool sized_ = false;
    QString lastConfirmation_;
};

}  // namespace zelmar
