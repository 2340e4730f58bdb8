#include "ui/qt_host.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "app/core/core.h"
#include "app/core/messages.h"
#include "ui/main_sheet.h"
#include "ui/page_models.h"

namespace zelmar {

QtHost::QtHost() : mainThread_(std::this_thread::get_id()) {}

QtHost::~QtHost() { Shutdown(); }

void QtHost::SendToMain(const std::function<void()>& fn) {
    if (std::this_thread::get_id() == mainThread_) {
        fn();
        return;
    }
    if (stopped_) return;
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        pending_.push_back(pending);
    }
    // fn belongs to the caller's frame: it runs only while the caller waits.
    // The runner holds the lock while fn runs, so the caller cannot give up
    // half-way.
    const std::function<void()>* call = &fn;
    QMetaObject::invokeMethod(
        this,
        [pending, call] {
            std::unique_lock<std::mutex> lock(pending->mutex);
            if (pending->abandoned) return;
            (*call)();
            pending->finished = true;
            pending->done.notify_all();
        },
        Qt::QueuedConnection);
    {
        std::unique_lock<std::mutex> lock(pending->mutex);
        pending->done.wait(lock, [&] { return pending->finished || stopped_.load(); });
        if (!pending->finished) pending->abandoned = true;
    }
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), pending), pending_.end());
}

void QtHost::PostToMain(std::function<void()> fn) {
    if (stopped_) return;
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void QtHost::StartWorker(std::function<void()> fn) { workers_.Start(std::move(fn)); }

void QtHost::Shutdown() {
    stopped_ = true;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        for (const auto& p : pending_) {
            std::lock_guard<std::mutex> pl(p->mutex);
            p->done.notify_all();
        }
    }
    workers_.JoinAll();
}

bool QtHost::SetTimer(int id, std::chrono::milliseconds interval) {
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (core_) core_->OnTimer(id);
        });
    }
    // Minute-long intervals need no precision: the system may group wake-ups.
    timer->setTimerType(interval >= std::chrono::seconds(60) ? Qt::VeryCoarseTimer : Qt::CoarseTimer);
    timer->start(interval);
    return true;
}

bool QtHost::KillTimer(int id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
    return true;
}

namespace {
// The core's question after a failed exit publication, and its save question.
constexpr const char* kExitAnywayQuestion = MessageText(Msg::ExitAnywayQuestion);
constexpr const char* kSaveQuestion = MessageText(Msg::SaveQuestion);
constexpr int kRecentLines = 8;
}  // namespace

std::unique_ptr<QMessageBox> QtHost::MakeBox(const MessageBoxRequest& r, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    if (r.text == kExitAnywayQuestion && r.buttons == MbButtons::YesNo) {
        box->setWindowTitle("Zelmar");
        box->setIcon(QMessageBox::Warning);
        box->setText(QString::fromStdString(Text<Msg::OfflinePageNotPublished>()));
        // What failed: the step the publication's own error named, else
        // the last line it wrote.
        const std::string first = foldedErrors_.substr(0, foldedErrors_.find('\n'));
        if (!first.empty())
            box->setInformativeText(QString::fromStdString(first));
        else if (!recentLines_.empty())
            box->setInformativeText(QString::fromStdString(recentLines_.back()));
        std::string details = foldedErrors_;
        for (const std::string& line : recentLines_) details += line + "\n";
        box->setDetailedText(QString::fromStdString(details));
        QPushButton* quit = box->addButton("&Quit Anyway", QMessageBox::YesRole);
        box->addButton("&Keep Running", QMessageBox::NoRole);
        box->setDefaultButton(quit);
        return box;
    }
    box->setWindowTitle(QString::fromStdString(r.caption));
    box->setText(QString::fromStdString(r.text));
    if (r.text == kSaveQuestion && r.buttons == MbButtons::YesNoCancel) {
        // Buttons that say what they do: the answers are Yes, No and Cancel.
        box->setIcon(QMessageBox::Question);
        box->setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Save);
        return box;
    }
    switch (r.icon) {
        case MbIcon::None: box->setIcon(QMessageBox::NoIcon); break;
        case MbIcon::Information: box->setIcon(QMessageBox::Information); break;
        case MbIcon::Warning: box->setIcon(QMessageBox::Warning); break;
        case MbIcon::Stop: box->setIcon(QMessageBox::Critical); break;
        case MbIcon::Question: box->setIcon(QMessageBox::Question); break;
    }
    QMessageBox::StandardButtons buttons;
    switch (r.buttons) {
        case MbButtons::Ok: buttons = QMessageBox::Ok; break;
        case MbButtons::OkCancel: buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
        case MbButtons::YesNo: buttons = QMessageBox::Yes | QMessageBox::No; break;
        case MbButtons::YesNoCancel: buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
    }
    box->setStandardButtons(buttons);
    auto toButton = [](MbAnswer a) {
        switch (a) {
            case MbAnswer::Ok: return QMessageBox::Ok;
            case MbAnswer::Cancel: return QMessageBox::Cancel;
            case MbAnswer::Yes: return QMessageBox::Yes;
            case MbAnswer::No: return QMessageBox::No;
        }
        return QMessageBox::Ok;
    };
    if (buttons.testFlag(toButton(r.defaultAnswer))) box->setDefaultButton(toButton(r.defaultAnswer));
    return box;
}

MbAnswer QtHost::MessageBox(const MessageBoxRequest& r) {
    const bool exitQuestion = r.text == kExitAnywayQuestion;
    // An error of the exit publication is said by the exit question that
    // follows it when the user asked to be notified ("NotifyErrorOnShut"),
    // and kept for its details; otherwise it is in the log, and no box
    // stands in the way of the exit.
    if (publishingAtExit_ && !exitQuestion && r.buttons == MbButtons::Ok) {
        if (core_ && core_->settings().NotifyErrorOnShut == 1) foldedErrors_ += r.text + "\n";
        return MbAnswer::Ok;
    }
    // Told to end (a signal, the session): nobody is there to answer.
    if (endingBySignal_ && !(exitQuestion && core_ && core_->settings().NotifyErrorOnShut == 1)) {
        if (r.text == kSaveQuestion && core_) {
            core_->DisplayAndLog(Message(Msg::ExitSettingsNotSaved));
            return MbAnswer::No;
        }
        return r.buttons == MbButtons::YesNo || r.buttons == MbButtons::YesNoCancel ? MbAnswer::Yes : MbAnswer::Ok;
    }
    // No box over a leftover "Shutdown In Progress" window.
    if (exitQuestion) {
        ShowShutdownWindow(false);
        publishingAtExit_ = false;
    }
    if (scriptedBoxes) return scriptedBoxes(r);
    // A box with OK alone asks nothing: the caller gets its answer at once.
    if (r.buttons == MbButtons::Ok && !exitQuestion) {
        Inform(r);
        return MbAnswer::Ok;
    }
    std::unique_ptr<QMessageBox> box = MakeBox(r, sheet_ && sheet_->isVisible() ? sheet_ : nullptr);
    if (r.systemModal) box->setWindowModality(Qt::ApplicationModal);
    const int result = box->exec();
    if (exitQuestion) {
        foldedErrors_.clear();
        return box->buttonRole(box->clickedButton()) == QMessageBox::YesRole ? MbAnswer::Yes : MbAnswer::No;
    }
    switch (result) {
        case QMessageBox::Save: return MbAnswer::Yes;
        case QMessageBox::Discard: return MbAnswer::No;
        case QMessageBox::Cancel: return MbAnswer::Cancel;
        case QMessageBox::Yes: return MbAnswer::Yes;
        case QMessageBox::No: return MbAnswer::No;
        case QMessageBox::Ok: return MbAnswer::Ok;
        default:
            // Closed by Escape or the title bar: the box's cancelling answer.
            if (r.buttons == MbButtons::OkCancel || r.buttons == MbButtons::YesNoCancel) return MbAnswer::Cancel;
            return r.buttons == MbButtons::YesNo ? MbAnswer::No : MbAnswer::Ok;
    }
}

void QtHost::Inform(const MessageBoxRequest& r) {
    const bool onScreen = sheet_ && sheet_->isVisible() && !sheet_->isMinimized();
    // One box at a time: while one is open, or while the window is in the
    // tray, the text waits in the message bar instead of stacking boxes.
    if (!onScreen || informing_) {
        if (sheet_) sheet_->ShowMessage(QString::fromStdString(r.text), static_cast<int>(r.page));
        if (!onScreen && hiddenNotice && !(core_ && core_->WorkerRunning()))
            hiddenNotice(r.caption.empty() ? "Zelmar" : r.caption, r.text);
        return;
    }
    QMessageBox* box = MakeBox(r, sheet_).release();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(r.systemModal ? Qt::ApplicationModal : Qt::NonModal);
    informing_ = box;
    box->show();
}

void QtHost::StatusLine(const StatusMessage& message, const std::string& displayText) {
    // A failure's details: a server's positive replies ("226 Transfer
    // complete.") say nothing about what failed.
    const bool positiveReply = !message.code.empty() && message.code[0] >= '1' && message.code[0] <= '3';
    if (!positiveReply) recentLines_.push_back(displayText);
    if (recentLines_.size() > kRecentLines) recentLines_.pop_front();
    if (!sheet_) return;
    // Settings nothing was entered in yet give no "online" worth the name:
    // the window says what is missing instead.
    if (core_ && message.IsOnlineNotice()) {
        const std::string instead = UnconfiguredStatusText(core_->settings(), core_->statusPage().addresses.wan.Plain());
        if (!instead.empty()) {
            sheet_->StatusLine(instead);
            return;
        }
    }
    sheet_->StatusLine(displayText);
}
void QtHost::StatusPageChanged(const StatusPage& page) {
    if (sheet_) sheet_->SetStatusPage(page);
}
bool QtHost::StatusPageExists() const { return sheet_ && sheet_->StatusPageShown(); }
void QtHost::SetTrayOnline(bool online) {
    if (sheet_) sheet_->SetTrayOnline(online);
}

void QtHost::SetRefreshEnabled(bool enabled) {
    if (sheet_) sheet_->SetRefreshEnabled(enabled);
}
void QtHost::ShowShutdownWindow(bool visible) {
    // The details of a failed exit publication are its own lines only.
    if (visible && !publishingAtExit_) recentLines_.clear();
    publishingAtExit_ = visible;
    if (sheet_) sheet_->ShowShutdownWindow(visible);
}
void QtHost::RestoreMainWindow() {
    if (sheet_) sheet_->RestoreMainWindow();
}

void QtHost::ShowMainWindow(bool minimised) {
    if (!sheet_) return;
    if (minimised)
        sheet_->MinimiseMainWindow();
    else
        sheet_->RestoreMainWindow();
}
void QtHost::ShowStatusPage() {
    if (sheet_) sheet_->ShowPage(kStatusPage);
}
void QtHost::ShowEmailOptionsPage() {
    if (sheet_) sheet_->ShowPage(kEmailPage);
}
bool QtHost::SaveEnabled() const { return sheet_ && sheet_->SaveEnabled(); }
void QtHost::CloseMainWindow() {
    if (sheet_) sheet_->CloseMainWindow();
}
void QtHost::CollectSettingsPages() {
    if (sheet_) sheet_->CollectPages();
}
void QtHost::CollectPageEdits() {
    if (sheet_) sheet_->CollectFtpPage();
}
void QtHost::ClearModifiedMarks() {
    if (sheet_) sheet_->ClearModifiedMarks();
}
void QtHost::RefreshProgramMonitorPage() {
    if (sheet_) sheet_->RefreshProgramMonitorPage();
}

void QtHost::ExitOnSignal() {
    if (!core_ || core_->closed() || endingBySignal_) return;
    endingBySignal_ = true;
    if (!core_->WorkerRunning()) {
        core_->RequestExit();
        return;
    }
    // A refresh is at work: it gets the refresh's own time budget and a
    // margin to end; then the exit goes on as at any other time, or, when
    // the refresh is still not done, ends without the offline page and says
    // so.
    const int seconds = static_cast<int>(core_->RefreshBudget().count()) + 5;
    core_->DisplayAndLog(Message(Msg::ExitWaitsForRefresh, {std::to_string(seconds)}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll, deadline] {
        if (!core_ || core_->closed()) {
            poll->deleteLater();
            return;
        }
        if (!core_->WorkerRunning()) {
            poll->deleteLater();
            core_->RequestExit();
        } else if (std::chrono::steady_clock::now() >= deadline) {
            poll->deleteLater();
            core_->DisplayAndLog(Message(Msg::ExitRefreshTooLong));
            core_->Close();
        }
    });
    poll->start(100);
}

bool QtHost::EndSession() {
    if (!core_) return true;
    const Settings s = core_->settings();
    if (s.IsUpdateOnShut != 1) return true;
    // A refresh still at work shares the working files: the offline page
    // cannot be published now.
    if (core_->WorkerRunning() || core_->state().TransferInProgress != 0) return false;
    if (!core_->services().PublishOffline) return true;

    struct Outcome {
        std::atomic<bool> done{false};
        std::atomic<int> result{-1};
        QEventLoop* loop = nullptr;  // main thread only
    };
    auto outcome = std::make_shared<Outcome>();
    QEventLoop loop;
    outcome->loop = &loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    Core* core = core_;
    QObject* self = this;
    StartWorker([core, outcome, self] {
        outcome->result = core->services().PublishOffline(*core);
        outcome->done = true;
        QMetaObject::invokeMethod(
            self,
            [outcome] {
                if (outcome->loop) outcome->loop->quit();
            },
            Qt::QueuedConnection);
    });
    // The publication's own time budget (its lookups and every enabled
    // channel's deadline), and a margin.
    deadline.start(core_->RefreshBudget() + endSessionMargin_);
    if (!outcome->done) loop.exec();
    deadline.stop();
    outcome->loop = nullptr;
    // A publication that has not ended in time counts as failed.
    return outcome->done && outcome->result != -1;
}

}  // namespace zelmar
