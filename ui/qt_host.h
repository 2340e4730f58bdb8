// QtHost: the core's host on the Qt event loop. Blocking sends from workers
// are queued to the main thread and waited for; timers are QTimers keyed by
// the core's identifier; message boxes are QMessageBoxes; everything the
// window shows goes to CMainSheet.
#pragma once

#include <QObject>
#include <QMessageBox>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <deque>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/core/host.h"
#include "app/core/worker_threads.h"

class QTimer;
class QMessageBox;
class QWidget;

namespace zelmar {

class Core;
class CMainSheet;

class QtHost : public QObject, public Host {
    Q_OBJECT
public:
    QtHost();
    ~QtHost() override;

    void Attach(Core* core, CMainSheet* sheet) {
        core_ = core;
        sheet_ = sheet;
    }

    // --- Host ---
    void SendToMain(const std::function<void()>& fn) override;
    void PostToMain(std::function<void()> fn) override;
    void StartWorker(std::function<void()> fn) override;
    bool SetTimer(int id, std::chrono::milliseconds interval) override;
    bool KillTimer(int id) override;
    MbAnswer MessageBox(const MessageBoxRequest& request) override;
    void StatusLine(const StatusMessage& message, const std::string& displayText) override;
    void StatusPageChanged(const StatusPage& page) override;
    bool StatusPageExists() const override;
    void SetTrayOnline(bool online) override;
    void ShowMainWindow(bool minimised) override;
    void ShowStatusPage() override;
    void ShowEmailOptionsPage() override;
    bool SaveEnabled() const override;
    void CloseMainWindow() override;
    void CollectSettingsPages() override;
    void CollectPageEdits() override;
    void ClearModifiedMarks() override;
    void RefreshProgramMonitorPage() override;

    void SetRefreshEnabled(bool enabled) override;
    void ShowShutdownWindow(bool visible) override;
    void RestoreMainWindow() override;

    // The desktop session ends: publish the offline page when configured.
    // The publication runs on a worker while this thread keeps handling its
    // status messages, and is given up after the time-out bound, so the
    // logout is never held up for long. Returns whether the session may end.
    bool EndSession();
    // The margin the bound adds to the network steps' time-outs (5 s); a
    // test that lets a publication hang waits for a shorter one.
    void SetEndSessionMargin(std::chrono::milliseconds margin) { endSessionMargin_ = margin; }

    // Told to end by a signal (SIGTERM, SIGINT): the exit without questions.
    // A refresh still running is given its time-out bound to end, then the
    // offline page is published as at any exit (or one log line says why
    // not); only "NotifyErrorOnShut" brings a box, the one naming what
    // failed.
    void ExitOnSignal();

    // After the event loop: no more blocking sends are run; waits for every
    // worker started so far.
    void Shutdown();

    // Message boxes answered from a script instead of shown (tests).
    std::function<MbAnswer(const MessageBoxRequest&)> scriptedBoxes;
    // Tells the desktop what an informing box said while the window was out
    // of sight and no refresh (whose own notes say it) was running.
    std::function<void(const std::string& caption, const std::string& text)> hiddenNotice;
    // The informing box on screen, if any.
    QMessageBox* openInformingBox() const { return informing_.data(); }

    // The box for a request, as MessageBox shows it. The question after a
    // failed offline publication is one dialog of its own: what failed,
    // "Quit anyway" / "Keep running", and the details a click away.
    std::unique_ptr<QMessageBox> MakeBox(const MessageBoxRequest& request, QWidget* parent);
    // The status lines kept for a failure's details (the last few).
    const std::deque<std::string>& recentLines() const { return recentLines_; }

private:
    // A box that only informs: shown without waiting for it, so nothing
    // (a refresh, the worker that raised it) is held while it is open.
    void Inform(const MessageBoxRequest& request);

    std::chrono::milliseconds endSessionMargin_ = std::chrono::seconds(5);
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
    };
    Core* core_ = nullptr;
    CMainSheet* sheet_ = nullptr;
    std::thread::id mainThread_;
    std::map<int, QTimer*> timers_;

    std::mutex pendingMutex_;
    std::vector<std::shared_ptr<Pending>> pending_;
    std::atomic<bool> stopped_{false};

    WorkerThreads workers_;

    // While the offline page is being published at exit (the shutdown
    // window is up): an error box is kept for the exit question's details
    // instead of standing as a second box in a row.
    bool publishingAtExit_ = false;
    bool endingBySignal_ = false;
    std::string foldedErrors_;
    std::deque<std::string> recentLines_;
    QPointer<QMessageBox> informing_;
};

}  // namespace zelmar
