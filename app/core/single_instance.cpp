#include "app/core/single_instance.h"
#include "app/core/messages.h"

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

// The folder must be ours, private and usable: another user must not be
// able to hold our lock or stand in for our socket, and we must be able to
// make both in it. Its socket path must also fit. A link is not followed:
// the folder itself must be what we checked.
bool PrivateFolder(const std::string& dir, std::string* why) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (why) *why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0022) != 0) {
        if (why) *why = Text<Msg::FolderNotPrivate>(dir);
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        if (why) *why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (dir.size() + std::strlen("/Zelmar") >= sizeof(sockaddr_un{}.sun_path)) {
        if (why) *why = Text<Msg::PathTooLongForSocket>(dir);
        return false;
    }
    return true;
}

// Makes dir (mode 0700) when it does not exist yet, then checks it.
bool MakePrivateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return PrivateFolder(dir, nullptr);
}

}  // namespace

std::string SingleInstance::RuntimeFolder() {
    // The first of these that is private to us and usable. Each is a fixed
    // name, so every start of this user finds the same lock. Another user
    // may have made the one in the temp folder first (to keep us from
    // starting): then the one in the home folder, which nobody else can
    // make, serves.
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg && PrivateFolder(xdg, nullptr)) return xdg;
    const std::string uid = std::to_string(::getuid());
    const char* tmp = std::getenv("TMPDIR");
    const std::string inTemp = std::string((tmp && *tmp) ? tmp : "/tmp") + "/zelmar-" + uid;
    if (MakePrivateFolder(inTemp)) return inTemp;
    const char* home = std::getenv("HOME");
    if (home && *home) {
        const std::string cache = std::string(home) + "/.cache";
        ::mkdir(cache.c_str(), 0700);
        const std::string inHome = cache + "/zelmar-" + uid;
        if (MakePrivateFolder(inHome)) return inHome;
    }
    if (tmp && *tmp) {
        const std::string inSystemTemp = "/tmp/zelmar-" + uid;
        if (MakePrivateFolder(inSystemTemp)) return inSystemTemp;
    }
    // None: Acquire reports why the first choice in the temp folder failed.
    return inTemp;
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

SingleInstance::~SingleInstance() { Release(); }

void SingleInstance::Release() {
    if (listener_.joinable()) {
        (void)!::write(wakeFds_[1], "x", 1);
        listener_.join();
    }
    for (int& fd : wakeFds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
        listenFd_ = -1;
    }
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

FolderLock::Result FolderLock::Acquire(const std::string& folder) {
    Release();
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        problem_ = folder + ": " + std::strerror(errno);
        return Result::Failed;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return Result::Taken;
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    problem_ = folder + ": " + std::strerror(err);
    return err == EWOULDBLOCK ? Result::Busy : Result::Failed;
}

void FolderLock::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace zelmar
