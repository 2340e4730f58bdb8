#include "ui/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include "app/core/messages.h"

namespace zelmar {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// The "urgency" hint the desktop notification service reads: 1 normal, 2 critical.
constexpr unsigned char kNormal = 1;
constexpr unsigned char kCritical = 2;

}  // namespace

DesktopNotifier::DesktopNotifier(std::function<void(StatusMessage)> post, QObject* parent)
    : QObject(parent), post_(std::move(post)) {}

void DesktopNotifier::Show(const DesktopNote& note) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto missing = [this](const QString& why) {
        if (reportedMissing_) return;
        reportedMissing_ = true;
        if (post_)
            post_(Message<Msg::DesktopNotesMissing>(kService, why.toStdString()));
    };
    if (!bus.isConnected()) {
        missing("no session bus");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    QVariantMap hints;
    hints.insert("urgency", QVariant::fromValue<uchar>(note.critical ? kCritical : kNormal));
    call << QString("Zelmar") << 0u << QString("zelmar") << QString::fromStdString(note.summary)
         << QString::fromStdString(note.body) << QStringList() << hints << -1;
    ++pending_;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, missing](QDBusPendingCallWatcher* w) {
        --pending_;
        const QDBusPendingReply<unsigned> reply = *w;
        if (reply.isError()) missing(reply.error().message());
        w->deleteLater();
    });
}

RefreshObserver DesktopNotifier::Observer(std::function<bool()> enabled) {
    return [self = this, enabled = std::move(enabled)](const RefreshSnapshot& snapshot,
                                                       const std::vector<ChannelOutcome>& outcomes) {
        std::vector<DesktopNote> notes;
        {
            std::lock_guard<std::mutex> guard(self->plannerLock_);
            // Planned even when switched off, so that a failure that began
            // while off is not announced as new when switched on.
            notes = self->planner_.Plan(snapshot, outcomes);
        }
        if (notes.empty() || (enabled && !enabled())) return;
        QMetaObject::invokeMethod(
            self,
            [alive = QPointer<DesktopNotifier>(self), notes] {
                if (!alive) return;
                for (const DesktopNote& n : notes) alive->Show(n);
            },
            Qt::QueuedConnection);
    };
}

}  // namespace zelmar
