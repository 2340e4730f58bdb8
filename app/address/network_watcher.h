// Noticing a network change at once, at no cost while nothing changes.
//
// The kernel announces every new or removed address, every link going up or
// down and every route change on rtnetlink multicast groups. A watcher
// thread sleeps in poll() on that socket and on a stop descriptor, without a
// time-out, so an idle machine sees no wake-up at all. A change opens a
// quiet period (about two seconds): the burst of messages a DHCP renewal or
// a cable plugged in produces becomes one call of the handler, made once
// the kernel has been quiet for that long.
//
// A program started before the network is up gets its first refresh retried
// with a back-off (StartupBackoff) instead of waiting a whole interval.
#pragma once

#include <linux/netlink.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zelmar {

// True for the messages that may change an address the program shows:
// addresses, links and routes, added or removed.
bool IsNetworkChange(const nlmsghdr* message);

// The quiet period: each event moves the moment of the call to `quiet`
// after it; the call is due once that moment has passed.
class QuietPeriod {
public:
    using Clock = std::chrono::steady_clock;
    explicit QuietPeriod(std::chrono::milliseconds quiet) : quiet_(quiet) {}
    void Note(Clock::time_point now) { due_ = now + quiet_; }
    std::optional<Clock::time_point> due() const { return due_; }
    // True (once) when the period has passed; the period is then closed.
    bool Fire(Clock::time_point now);

private:
    std::chrono::milliseconds quiet_;
    std::optional<Clock::time_point> due_;
};

// A socket subscribed to the address, link and route groups of both
// families. Non-blocking: fd() is for a poll loop or a socket notifier.
class NetlinkMonitor {
public:
    static std::unique_ptr<NetlinkMonitor> Open(std::string* error);
    ~NetlinkMonitor();
    NetlinkMonitor(const NetlinkMonitor&) = delete;
    NetlinkMonitor& operator=(const NetlinkMonitor&) = delete;

    int fd() const { return fd_; }
    // Reads everything queued; true when a change was among it (or messages
    // were lost to an overrun, which may have hidden one).
    bool Drain();

private:
    explicit NetlinkMonitor(int fd) : fd_(fd) {}
    int fd_;
};

// What of the network a refresh depends on: each address with its interface,
// the interface's state and the flags that make an address unusable, and
// the default route's source in each family. Lifetimes are left out: a
// router's periodic announcement renews them without changing anything.
std::string NetworkFingerprint();

// The watcher thread: calls onChange (on its own thread; post it to the
// main loop) once per burst of changes, when the fingerprint after the burst
// differs from the one before it.
class NetworkWatcher {
public:
    NetworkWatcher(std::chrono::milliseconds quiet, std::function<void()> onChange);
    ~NetworkWatcher();
    NetworkWatcher(const NetworkWatcher&) = delete;
    NetworkWatcher& operator=(const NetworkWatcher&) = delete;

    // False (with *error) when the kernel's announcements cannot be had; the
    // program then relies on its timer alone.
    bool Start(std::string* error);
    void Stop();

    // Calls onRetry (on the watcher's thread) once, after wait, unless a
    // later RetryIn or CancelRetry replaces it. Any thread. The deadline is
    // armed only while a retry is pending: idle, the wait stays endless.
    void SetRetryHandler(std::function<void()> onRetry) { onRetry_ = std::move(onRetry); }
    void RetryIn(std::chrono::milliseconds wait);
    void CancelRetry();

private:
    void Run();
    void Wake();
    std::chrono::milliseconds quiet_;
    std::function<void()> onChange_;
    std::function<void()> onRetry_;
    std::unique_ptr<NetlinkMonitor> monitor_;
    int stopFd_ = -1;
    // Counts the retry deadline's changes, so that the thread re-reads it.
    int retryFd_ = -1;
    std::mutex retryMutex_;
    std::optional<std::chrono::steady_clock::time_point> retryAt_;
    std::thread thread_;
};

// How long to wait before each retry of a start-up refresh that found no
// network: first, twice that, four times ... never more than the cap (the
// refresh interval).
class StartupBackoff {
public:
    StartupBackoff(std::chrono::milliseconds first, std::chrono::milliseconds cap)
        : first_(first), cap_(cap), next_(first) {}
    std::chrono::milliseconds Next();
    void Reset() { next_ = first_; }

private:
    std::chrono::milliseconds first_, cap_, next_;
};

// The start-up back-off for a refresh interval in minutes (0: none
// scheduled, the back-off then stops growing at one hour).
StartupBackoff StartupBackoffFor(int refreshMinutes);

// True when the machine has no route to the Internet in either family: the
// network is not up yet.
bool NetworkLooksDown();

}  // namespace zelmar
