#include "app/core/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelmar {

namespace {

constexpr const char* kShowRequest = "show\n";

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

// The folder must be ours and private: another user must not be able to
// hold our lock or stand in for our socket. Its socket path must also fit.
bool PrivateFolder(const std::string& dir, std::string* why) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        if (why) *why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0022) != 0) {
        if (why) *why = dir + " is not a folder private to this user";
        return false;
    }
    if (dir.size() + std::strlen("/Zelmar") >= sizeof(sockaddr_un{}.sun_path)) {
        if (why) *why = dir + " is too long a path for a local socket";
        return false;
    }
    return true;
}

}  // namespace

std::string SingleInstance::RuntimeFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg && PrivateFolder(xdg, nullptr)) return xdg;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp) ? tmp : "/tmp";
    std::string dir = base + "/zelmar-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

SingleInstance::Result SingleInstance::Acquire(std::function<void()> onShowRequest) {
    const std::string dir = RuntimeFolder();
    if (!PrivateFolder(dir, &problem_)) return Result::Failed;

    const std::string lockPath = dir + "/Zelmar.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        problem_ = lockPath + ": " + std::strerror(errno);
        return Result::Failed;
    }
    socketPath_ = dir + "/Zelmar";
    sockaddr_un addr{};
    FillAddress(socketPath_, addr);  // fits: checked with the folder

    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(lockFd_);
        lockFd_ = -1;
        if (err != EWOULDBLOCK) {
            problem_ = lockPath + ": " + std::strerror(err);
            return Result::Failed;
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
                (void)!::write(fd, kShowRequest, std::strlen(kShowRequest));
            ::close(fd);
        }
        return Result::AnotherRuns;
    }

    // We hold the lock, so a socket file left here belongs to a dead instance.
    ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        // Without the socket a later start still sees the lock; only the
        // "show the window" request is lost.
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return Result::First;
    }
    onShow_ = std::move(onShowRequest);
    listener_ = std::thread([this] { Listen(); });
    return Result::First;
}

void SingleInstance::Listen() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        // Read the request with a short limit: a client that says nothing
        // must not stall the listener.
        char buf[16] = {};
        pollfd c{client, POLLIN, 0};
        ssize_t n = ::poll(&c, 1, 1000) > 0 ? ::read(client, buf, sizeof buf - 1) : 0;
        ::close(client);
        if (n > 0 && std::strncmp(buf, "show", 4) == 0 && onShow_) onShow_();
    }
}

SingleInstance::~SingleInstance() {
    if (listener_.joinable()) {
        (void)!::write(wakeFds_[1], "x", 1);
        listener_.join();
    }
    for (int fd : wakeFds_)
        if (fd >= 0) ::close(fd);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

}  // namespace zelmar
