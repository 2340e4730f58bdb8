// Host: what the core needs from the program's front end (the window, the
// headless loop, or a test double). The core never includes a toolkit
// header; it speaks to its host only through this interface.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "app/core/address_set.h"
#include "app/core/status_message.h"

namespace zelmar {

// The identifier of the one refresh timer.
inline constexpr int IDT_TIMER_0 = 1224;

enum class MbButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MbIcon { None, Information, Warning, Stop, Question };
enum class MbAnswer { Ok, Cancel, Yes, No };

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    MbButtons buttons = MbButtons::Ok;
    MbIcon icon = MbIcon::None;
    MbAnswer defaultAnswer = MbAnswer::Ok;
    bool systemModal = false;
    // The settings page where the cause can be mended, for a front end that
    // offers a way there next to the text.
    enum class Page { None, Ftp, Email } page = Page::None;
};

// The fields of the Status page.
struct StatusPage {
    std::string hostMessages;   // "Host Messages:"
    // "LAN IP Address:", "WAN IP Address:" and, shown only when one of them
    // is known, the IPv6 pair: what the last finished refresh found.
    AddressSet addresses;
    std::string lastRefreshed;  // "Time last refreshed:"
    std::string nextRefresh;    // "Next refresh time:"
};

class Host {
public:
    using Clock = std::chrono::system_clock;
    virtual ~Host() = default;

    // Runs fn on the main loop and returns when it has run: the blocking send
    // of a window message. Called on the main loop itself, fn runs at once.
    // When the main loop has ended, fn does not run and the call returns.
    virtual void SendToMain(const std::function<void()>& fn) = 0;

    // Queues fn on the main loop and returns at once (a posted window
    // message); for work a worker must not wait for, such as a box nobody
    // may be there to answer. A host without a queue runs it as a send.
    virtual void PostToMain(std::function<void()> fn) { SendToMain(fn); }

    // Starts fn on a worker thread.
    virtual void StartWorker(std::function<void()> fn) = 0;

    // The one-shot-or-periodic window timer: setting an identifier again
    // replaces its pending timer. A tick calls Core::OnTimer(id) on the main
    // loop and repeats every interval until the timer is killed.
    virtual bool SetTimer(int id, std::chrono::milliseconds interval) = 0;
    virtual bool KillTimer(int id) = 0;

    // A modal message box; returns the button chosen.
    virtual MbAnswer MessageBox(const MessageBoxRequest& request) = 0;

    // A status message was displayed and logged: message as it was raised
    // (its kind and code, for a front end that shows them apart), and
    // displayText, the line the log got (with the addresses for the online
    // notice). "Error opening log file." comes as a program message without
    // a code, and is not logged.
    virtual void StatusLine(const StatusMessage& message, const std::string& displayText) = 0;

    // The Status page's fields changed; pageExists tells whether the page
    // window has been made (only then are its controls refreshed).
    virtual void StatusPageChanged(const StatusPage& page) { (void)page; }
    virtual bool StatusPageExists() const { return false; }

    // The tray picture.
    virtual void SetTrayOnline(bool online) { (void)online; }

    // Requests the window carries out itself, always on the main loop.
    // Enable or disable the "&Refresh" command.
    virtual void SetRefreshEnabled(bool enabled) { (void)enabled; }
    // Show or hide the "Shutdown In Progress" window.
    virtual void ShowShutdownWindow(bool visible) { (void)visible; }
    // Bring the main window back from the tray.
    virtual void RestoreMainWindow() {}

    // Minimise or restore the main window.
    virtual void ShowMainWindow(bool minimised) { (void)minimised; }
    // Bring the Status page to the front.
    virtual void ShowStatusPage() {}
    // Bring the "E-Mail Options" page to the front.
    virtual void ShowEmailOptionsPage() {}

    // True when some settings page was modified (the "&Save" button is
    // enabled): the exit then asks whether to save.
    virtual bool SaveEnabled() const { return false; }

    // Remove the tray icon and destroy the main window: the main loop ends.
    virtual void CloseMainWindow() {}

    // The settings pages: pull their controls into the in-memory settings
    // before a save, and clear their "modified" marks after it.
    virtual void CollectSettingsPages() {}
    // Only the main window's controls and those of the pages whose edits a
    // refresh takes at once (before Core::CommitPageEdits).
    virtual void CollectPageEdits() {}
    virtual void ClearModifiedMarks() {}

    // The Program Monitor page refreshes its list when its window exists.
    virtual void RefreshProgramMonitorPage() {}

    // Wall clock (a test double supplies a virtual one).
    virtual Clock::time_point Now() const { return Clock::now(); }
};

}  // namespace zelmar
