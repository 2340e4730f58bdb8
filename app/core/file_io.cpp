#include "app/core/file_io.h"
#include "app/core/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zelmar {

bool WriteAll(int fd, std::string_view data, int& err) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadBoundedLine(int fd, std::size_t limit, std::string& line) {
    line.clear();
    bool got = false;
    char buf[4096];
    while (line.size() <= limit) {
        const std::size_t ask = std::min(sizeof buf, limit + 1 - line.size());
        const ssize_t n = ::read(fd, buf, ask);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got = true;
        const char* end = static_cast<const char*>(std::memchr(buf, '\n', static_cast<std::size_t>(n)));
        line.append(buf, end ? static_cast<std::size_t>(end - buf) : static_cast<std::size_t>(n));
        if (end) break;
    }
    if (line.size() <= limit && !line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

std::string NotRegularFileText(const std::string& path, mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a named pipe"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a special file";
    return Text<Msg::FileNotRegular>(path, kind);
}

bool WritableByModeBits(const struct stat& st) {
    if (st.st_uid == ::geteuid()) return (st.st_mode & S_IWUSR) != 0;
    bool inGroup = st.st_gid == ::getegid();
    if (!inGroup) {
        const int n = ::getgroups(0, nullptr);
        if (n > 0) {
            std::vector<gid_t> groups(static_cast<std::size_t>(n));
            const int got = ::getgroups(n, groups.data());
            for (int i = 0; i < got && !inGroup; ++i) inGroup = groups[static_cast<std::size_t>(i)] == st.st_gid;
        }
    }
    if (inGroup) return (st.st_mode & S_IWGRP) != 0;
    // The superuser may write any file whose mode lets anybody write it;
    // a mode without any write bit is a deliberate "read-only".
    if (::geteuid() == 0) return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return (st.st_mode & S_IWOTH) != 0;
}

int OpenRegularFile(const std::string& path, int flags, mode_t createMode, int& err, std::string& error,
                    bool* notRegular) {
    err = 0;
    if (notRegular) *notRegular = false;
    error.clear();
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, createMode);
    if (fd < 0) {
        err = errno;
        error = err == ENOENT ? Text<Msg::FileNotFound>(path) : Text<Msg::FileCannotOpen>(path, std::strerror(err));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        err = errno;
        error = Text<Msg::FileCannotOpen>(path, std::strerror(err));
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EPERM;
        error = NotRegularFileText(path, st.st_mode);
        if (notRegular) *notRegular = true;
        ::close(fd);
        return -1;
    }
    // A regular file never blocks, but later writers expect plain semantics.
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

FileReadResult ReadRegularFile(const std::string& path, std::size_t cap, CapMode mode, bool followLinks) {
    FileReadResult r;
    const int fd = OpenRegularFile(path, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0, r.err, r.error, &r.notRegular);
    if (fd < 0) {
        r.missing = r.err == ENOENT;
        return r;
    }
    // One byte past the cap tells a file that is exactly cap bytes long from
    // a longer one.
    const std::size_t want = mode == CapMode::Refuse && cap < SIZE_MAX ? cap + 1 : cap;
    char buf[65536];
    while (r.data.size() < want) {
        const std::size_t ask = std::min(sizeof buf, want - r.data.size());
        const ssize_t n = ::read(fd, buf, ask);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.err = errno;
            r.error = Text<Msg::FileCannotRead>(path, std::strerror(r.err));
            r.data.clear();
            ::close(fd);
            return r;
        }
        if (n == 0) break;
        r.data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (r.data.size() > cap) {
        if (mode == CapMode::Truncate) {
            r.data.resize(cap);
        } else {
            r.tooLarge = true;
            r.err = EFBIG;
            r.error = Text<Msg::FileTooLarge>(path, cap / 1024);
            r.data.clear();
            return r;
        }
    }
    r.ok = true;
    return r;
}

std::string InFolder(const std::string& startFolder, const std::string& path) {
    if (startFolder.empty() || path.empty() || path[0] == '/') return path;
    return startFolder.back() == '/' ? startFolder + path : startFolder + "/" + path;
}

}  // namespace zelmar
