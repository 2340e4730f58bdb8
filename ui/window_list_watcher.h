// Tells when the desktop's list of windows changes, from the X server's own
// notices (the root window's _NET_CLIENT_LIST and _NET_ACTIVE_WINDOW
// properties) rather than by asking on a timer: nothing wakes the program
// while no window comes, goes or is switched to. Without X11 (another
// platform plugin) it never signals.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <cstdint>

namespace zelmar {

class WindowListWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit WindowListWatcher(QObject* parent = nullptr);
    ~WindowListWatcher() override;
    // Watches only while active (the page is on screen).
    void SetActive(bool active);
    bool active() const { return active_; }
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void changed();

private:
    bool active_ = false;
    std::uint32_t root_ = 0;
    std::uint32_t clientList_ = 0;
    std::uint32_t activeWindow_ = 0;
};

}  // namespace zelmar
