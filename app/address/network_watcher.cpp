#include "app/address/network_watcher.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "app/address/netlink_addresses.h"

namespace zelmar {

bool IsNetworkChange(const nlmsghdr* message) {
    switch (message->nlmsg_type) {
        case RTM_NEWADDR:
        case RTM_DELADDR:
        case RTM_NEWLINK:
        case RTM_DELLINK:
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            return true;
        default:
            return false;
    }
}

bool QuietPeriod::Fire(Clock::time_point now) {
    if (!due_ || now < *due_) return false;
    due_.reset();
    return true;
}

std::unique_ptr<NetlinkMonitor> NetlinkMonitor::Open(std::string* error) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        *error = std::string("cannot watch the network: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = std::string("cannot watch the network: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<NetlinkMonitor>(new NetlinkMonitor(fd));
}

NetlinkMonitor::~NetlinkMonitor() { ::close(fd_); }

bool NetlinkMonitor::Drain() {
    alignas(nlmsghdr) char buffer[16 * 1024];
    bool changed = false;
    // Bounded: a flood of announcements is read in slices, the rest at the
    // next readiness.
    for (int rounds = 0; rounds < 256; ++rounds) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            // The kernel dropped messages for a full queue: one of them may
            // have been the change.
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            break;  // EAGAIN: all read
        }
        // Only the kernel speaks on these groups.
        if (from.nl_pid != 0) continue;
        int left = static_cast<int>(n);
        for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left))
            changed = changed || IsNetworkChange(h);
    }
    return changed;
}

NetworkWatcher::NetworkWatcher(std::chrono::milliseconds quiet, std::function<void()> onChange)
    : quiet_(quiet), onChange_(std::move(onChange)) {}

NetworkWatcher::~NetworkWatcher() { Stop(); }

bool NetworkWatcher::Start(std::string* error) {
    if (thread_.joinable()) return true;
    monitor_ = NetlinkMonitor::Open(error);
    if (!monitor_) return false;
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    retryFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || retryFd_ < 0) {
        *error = std::string("cannot watch the network: ") + std::strerror(errno);
        if (stopFd_ >= 0) ::close(stopFd_);
        if (retryFd_ >= 0) ::close(retryFd_);
        stopFd_ = retryFd_ = -1;
        monitor_.reset();
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void NetworkWatcher::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stopFd_, &one, sizeof one) < 0) {
            // an eventfd write fails only when the counter is full: a stop
            // is pending anyway
        }
        thread_.join();
    }
    if (stopFd_ >= 0) ::close(stopFd_);
    stopFd_ = -1;
    {
        std::lock_guard<std::mutex> lock(retryMutex_);
        if (retryFd_ >= 0) ::close(retryFd_);
        retryFd_ = -1;
    }
    monitor_.reset();
}

void NetworkWatcher::Wake() {
    // Under retryMutex_: Stop closes the descriptor under it.
    const std::uint64_t one = 1;
    if (retryFd_ >= 0 && ::write(retryFd_, &one, sizeof one) < 0) {
        // a full counter: the thread has a wake-up pending anyway
    }
}

void NetworkWatcher::RetryIn(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> lock(retryMutex_);
    retryAt_ = std::chrono::steady_clock::now() + wait;
    Wake();
}

void NetworkWatcher::CancelRetry() {
    std::lock_guard<std::mutex> lock(retryMutex_);
    retryAt_.reset();
    Wake();
}

std::string NetworkFingerprint() {
    std::string error;
    auto addresses = ReadInterfaceAddresses(&error);
    if (!addresses) return "unreadable: " + error;
    constexpr std::uint32_t kUnstable = IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_DADFAILED;
    std::vector<std::string> lines;
    for (const InterfaceAddress& a : *addresses)
        lines.push_back(std::to_string(a.ifindex) + " " + a.ifname + (a.interfaceUp ? " up " : " down ") + a.Text() +
                        "/" + std::to_string(a.prefixLength) + " " + std::to_string(a.flags & kUnstable));
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    for (int family : {AF_INET, AF_INET6}) {
        auto source = DefaultRouteSource(family);
        text += "route " + (source ? source->Text() : std::string("none")) + "\n";
    }
    return text;
}

void NetworkWatcher::Run() {
    using Clock = QuietPeriod::Clock;
    QuietPeriod quiet(quiet_);
    std::string known = NetworkFingerprint();
    for (;;) {
        pollfd fds[3] = {{monitor_->fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}, {retryFd_, POLLIN, 0}};
        std::optional<Clock::time_point> retryAt;
        {
            std::lock_guard<std::mutex> lock(retryMutex_);
            retryAt = retryAt_;
        }
        // Without a pending change or retry the wait has no end: no
        // wake-ups at all. Otherwise it ends at the earlier of the two.
        std::optional<Clock::time_point> due = quiet.due();
        if (retryAt && (!due || *retryAt < *due)) due = retryAt;
        int wait = -1;
        if (due) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
            wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 24 * 3600 * 1000));
        }
        const int ready = ::poll(fds, 3, wait);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if ((fds[2].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            if (::read(retryFd_, &count, sizeof count) < 0) {
                // EAGAIN: read already
            }
        }
        if ((fds[0].revents & POLLIN) != 0 && monitor_->Drain()) quiet.Note(Clock::now());
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        bool retryDue = false;
        {
            std::lock_guard<std::mutex> lock(retryMutex_);
            if (retryAt_ && Clock::now() >= *retryAt_) {
                retryAt_.reset();
                retryDue = true;
            }
        }
        if (retryDue && onRetry_) onRetry_();
        if (!quiet.Fire(Clock::now())) continue;
        std::string now = NetworkFingerprint();
        if (now == known) continue;
        known = std::move(now);
        onChange_();
    }
}

std::chrono::milliseconds StartupBackoff::Next() {
    const std::chrono::milliseconds wait = std::min(next_, cap_);
    next_ = std::min(next_ * 2, std::max(cap_, first_));
    return wait;
}

StartupBackoff StartupBackoffFor(int refreshMinutes) {
    const std::chrono::milliseconds cap =
        refreshMinutes > 0 ? std::chrono::milliseconds(std::chrono::minutes(refreshMinutes)) : std::chrono::hours(1);
    return StartupBackoff(std::chrono::seconds(5), cap);
}

bool NetworkLooksDown() { return !DefaultRouteSource(AF_INET) && !DefaultRouteSource(AF_INET6); }

}  // namespace zelmar
