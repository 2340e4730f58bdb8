// CMainSheet: the main window. A tabbed sheet of six pages with a menu bar,
// the buttons "&Refresh", "&Save" and "E&xit", a status line, and the tray
// icon that stands for the window while it is minimised.
#pragma once

#include <QMainWindow>
#include <QKeySequence>
#include <QRect>
#include <QSystemTrayIcon>
#include <array>
#include <string>

#include "app/core/host.h"

class QAction;
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

    // The help page opened by "&Zelmar Help" (empty when none is installed).
    static QString HelpFile();

    // The window's rectangle after its first restore: the tab strip's screen
    // rectangle moved 9 left and 29 up, 18 wider and 68 taller.
    static QRect FirstRestoreRect(const QRect& tabStripOnScreen);
    // The window frame's buttons: minimise and close, never maximise.
    static Qt::WindowFlags FrameFlags();
    bool firstRestoreDone() const { return firstRestoreDone_; }

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
    void ApplyFirstRestore();

    Core& core_;
    bool invisible_;
    bool online_ = false;
    bool closing_ = false;
    bool noTrayReported_ = false;
    bool minimisedOnce_ = false;     // a restore needs a minimise before it
    bool firstRestoreDone_ = false;  // the first restore's enlargement is made
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
};

}  // namespace zelmar
