// Desktop notifications: the notes of app/notify/desktop_notes.h sent to the
// desktop's notification service (org.freedesktop.Notifications on the
// session bus) through Qt D-Bus.
//
// The refresh worker plans what to say; the D-Bus calls are made on the
// thread this object lives in (the window's), and never wait for the
// service: an answer, or the error of a bus without a notification service,
// arrives later. Without a service nothing is shown, and one status line
// says so at the first try; the program goes on as before.
#pragma once

#include <QObject>

#include <functional>
#include <mutex>

#include "app/notify/desktop_notes.h"

namespace zelmar {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // post carries the one line about a missing service (on this object's
    // thread).
    explicit DesktopNotifier(std::function<void(StatusMessage)> post, QObject* parent = nullptr);

    // Sends one note now. Call on this object's thread.
    void Show(const DesktopNote& note);

    // The refresh observer; enabled ("DesktopNotifications") is asked on the
    // worker after every refresh. The notifier must outlive the refreshes
    // that use it.
    RefreshObserver Observer(std::function<bool()> enabled);

    // Calls whose answer has not come yet (tests wait for 0).
    int pending() const { return pending_; }

private:
    std::function<void(StatusMessage)> post_;
    bool reportedMissing_ = false;
    int pending_ = 0;
    std::mutex plannerLock_;
    DesktopNotePlanner planner_;
};

}  // namespace zelmar
