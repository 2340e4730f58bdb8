#include "app/core/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/core/file_io.h"

namespace zelmar {

namespace {

std::mutex gSeamMutex;
AtomicFileSeams gSeams;

AtomicFileSeams Seams() {
    std::lock_guard<std::mutex> lock(gSeamMutex);
    return gSeams;
}

AtomicWriteResult Fail(AtomicWriteResult::Outcome outcome, int err) {
    errno = err;
    return {outcome, err};
}

// Truncates and rewrites the file where it is.
AtomicWriteResult WriteInPlace(const std::string& path, std::string_view data) {
    using O = AtomicWriteResult::Outcome;
    int err = 0;
    std::string error;
    const int fd = OpenRegularFile(path, O_WRONLY | O_TRUNC, 0, err, error);
    if (fd < 0) return Fail(O::CannotCreate, err);
    const bool ok = WriteAll(fd, data, err);
    if (::close(fd) != 0 && ok) return Fail(O::WriteFailed, errno);
    if (!ok) return Fail(O::WriteFailed, err);
    return {};
}

int RefusalOf(const std::string& resolved, bool existed, const struct stat& st) {
    // Still a link after resolving: a loop, or a chain too long to follow.
    struct stat lst {};
    if (::lstat(resolved.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) return ELOOP;
    if (!existed) return 0;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EPERM;
    if (!WritableByModeBits(st)) return EACCES;
    return 0;
}

// The replace locks this process holds, by link-resolved path: the locked
// descriptor (-1: nothing to lock) and how many holders share it.
struct HeldLock {
    int fd = -1;
    int depth = 0;
};
std::mutex gLockMutex;
std::map<std::string, HeldLock> gHeldLocks;

bool HoldsReplaceLock(const std::string& resolved) {
    std::lock_guard<std::mutex> lock(gLockMutex);
    return gHeldLocks.count(resolved) != 0;
}

// The holder's lock moves to the file that has just replaced the old one.
void MoveReplaceLock(const std::string& resolved, int fd) {
    std::lock_guard<std::mutex> lock(gLockMutex);
    const auto it = gHeldLocks.find(resolved);
    if (it == gHeldLocks.end()) {
        ::close(fd);
        return;
    }
    if (it->second.fd >= 0) ::close(it->second.fd);
    it->second.fd = fd;
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {}, b {};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

FileReplaceLock::FileReplaceLock(const std::string& path, std::chrono::milliseconds wait)
    : key_(ResolveLinkTarget(path)) {
    {
        std::lock_guard<std::mutex> lock(gLockMutex);
        const auto it = gHeldLocks.find(key_);
        if (it != gHeldLocks.end()) {
            ++it->second.depth;
            ok_ = true;
            return;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    int fd = -1;
    for (;;) {
        fd = ::open(key_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            // Nothing to lock: the first write creates the file (locked).
            if (fd >= 0) ::close(fd);
            fd = -1;
            break;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Replaced while we waited: the lock that counts is the new file's.
            if (SameFile(fd, key_)) break;
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            // A file system without locks: go on unlocked, as before.
            ::close(fd);
            fd = -1;
            break;
        }
        ::close(fd);
        fd = -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            err_ = EWOULDBLOCK;
            key_.clear();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(gLockMutex);
    HeldLock& held = gHeldLocks[key_];
    held.fd = fd;
    held.depth = 1;
    ok_ = true;
}

FileReplaceLock::~FileReplaceLock() {
    if (!ok_) return;
    std::lock_guard<std::mutex> lock(gLockMutex);
    const auto it = gHeldLocks.find(key_);
    if (it == gHeldLocks.end() || --it->second.depth > 0) return;
    if (it->second.fd >= 0) ::close(it->second.fd);
    gHeldLocks.erase(it);
}

int ReplaceableFileError(const std::string& path) {
    struct stat st {};
    const std::string resolved = ResolveLinkTarget(path);
    const bool existed = ::stat(resolved.c_str(), &st) == 0;
    return RefusalOf(resolved, existed, st);
}

void SetAtomicFileSeams(AtomicFileSeams seams) {
    std::lock_guard<std::mutex> lock(gSeamMutex);
    gSeams = std::move(seams);
}

std::string ResolveLinkTarget(const std::string& requested) {
    std::string path = requested;
    // The kernel's own bound on a chain of links.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat lst {};
        if (::lstat(path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) return path;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        if (n < 0) return path;
        std::string target(buf, static_cast<std::size_t>(n));
        if (!target.empty() && target[0] != '/') {
            const std::size_t slash = path.rfind('/');
            if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
        }
        path = target;
    }
    return path;
}

AtomicWriteResult ReplaceFileAtomically(const std::string& requested, std::string_view content,
                                        const AtomicWriteOptions& options) {
    using O = AtomicWriteResult::Outcome;
    if (!options.followLinks) {
        struct stat lst {};
        if (::lstat(requested.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) return Fail(O::CannotCreate, ELOOP);
    }
    const std::string path = ResolveLinkTarget(requested);

    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    if (const int refused = RefusalOf(path, existed, old); refused != 0) return Fail(O::CannotCreate, refused);

    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + "." + name + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, options.newFileMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int err = errno;
        if (options.inPlaceWhenFolderRefuses && (err == EACCES || err == EPERM || err == EROFS) && existed)
            return WriteInPlace(path, content);
        return Fail(O::CannotCreate, err);
    }

    int err = 0;
    bool ok = true;
    // The new file is locked before anyone can open it under the final name.
    int keepLocked = -1;
    if (HoldsReplaceLock(path) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) keepLocked = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (existed) {
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    } else if (options.exactModeForNewFile) {
        ok = ::fchmod(fd, options.newFileMode) == 0;
    }
    if (!ok) err = errno;
    if (ok) ok = WriteAll(fd, content, err);
    // Some file systems report a full disk only when the data is flushed.
    if (ok) {
        const AtomicFileSeams seams = Seams();
        const int injected = seams.failFsync ? seams.failFsync(path) : 0;
        if (injected != 0) {
            err = injected;
            ok = false;
        } else if (options.durable && ::fsync(fd) != 0) {
            err = errno;
            ok = false;
        }
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        if (keepLocked >= 0) ::close(keepLocked);
        ::unlink(temp.c_str());
        return Fail(O::WriteFailed, err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        if (keepLocked >= 0) ::close(keepLocked);
        ::unlink(temp.c_str());
        return Fail(O::CannotCreate, err);
    }
    if (keepLocked >= 0) MoveReplaceLock(path, keepLocked);
    if (const AtomicFileSeams seams = Seams(); seams.onReplaced) seams.onReplaced(path);
    return {};
}

}  // namespace zelmar
