#include "app/page/status_page.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>


namespace zelmar {

namespace {

constexpr const char* kBoxCaption = "Zelmar";
// File error texts are cut to this length, as the log expects short lines.
constexpr std::size_t kMaxFileErrorChars = 255;

const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

std::string Format(const char* fmt, int a, int b, int c) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

// The description of a file error, in the words a user expects: a missing
// file is "not found", anything else names the system's reason.
std::string FileErrorText(const std::string& path, int err, const char* doing) {
    std::string text;
    if (err == ENOENT && std::strcmp(doing, "open") == 0)
        text = "'" + path + "' was not found.";
    else
        text = std::string("Cannot ") + doing + " '" + path + "': " + std::strerror(err) + ".";
    if (text.size() > kMaxFileErrorChars) text.resize(kMaxFileErrorChars);
    return text;
}

// Reads at most kMaxTemplateBytes; the page ends at the first NUL byte.
// Returns 0 or the errno of the failure.
int ReadTemplate(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return err;
    }
    text.assign(kMaxTemplateBytes, '\0');
    std::size_t got = 0;
    while (got < kMaxTemplateBytes) {
        const ssize_t n = ::read(fd, text.data() + got, kMaxTemplateBytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return 0;
}

enum class WriteOutcome { Written, CannotCreate, WriteFailed };

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::Written;
    int err = 0;
};

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

// Writes straight into the file, truncating it first. Only for a writable
// file in a folder where no new file may be made.
WriteResult WriteInPlace(const std::string& path, std::string_view data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return {WriteOutcome::CannotCreate, errno};
    int err = 0;
    const bool ok = WriteAll(fd, data, err);
    if (::close(fd) != 0 && ok) return {WriteOutcome::WriteFailed, errno};
    if (!ok) return {WriteOutcome::WriteFailed, err};
    return {};
}

// Replaces the file at path with data: written to a temporary file in the
// same folder, flushed to disk, then renamed over the old one, so a write
// that fails midway (full disk, file size limit, I/O error) leaves the old
// file whole. The new file keeps the mode of the one it replaces.
WriteResult ReplaceFile(const std::string& requested, std::string_view data) {
    // Write through a symbolic link to the file it names, as a plain
    // truncate-and-write would, instead of replacing the link itself.
    std::string path = requested;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode)) return {WriteOutcome::CannotCreate, EISDIR};
    // A file the user made read-only stays as it is: replacing it through
    // the folder would get round the protection.
    if (existed && ::access(path.c_str(), W_OK) != 0) return {WriteOutcome::CannotCreate, errno};

    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + "." + name + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int err = errno;
        // A folder that refuses new files but holds a writable page: the
        // page can still be rewritten where it is, as before.
        if ((err == EACCES || err == EPERM) && existed && S_ISREG(old.st_mode) &&
            ::access(path.c_str(), W_OK) == 0)
            return WriteInPlace(path, data);
        return {WriteOutcome::CannotCreate, err};
    }
    if (existed) (void)::fchmod(fd, old.st_mode & 07777);

    int err = 0;
    bool ok = WriteAll(fd, data, err);
    // Some file systems report a full disk only when the data is flushed.
    if (ok && ::fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return {WriteOutcome::WriteFailed, err};
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        return {WriteOutcome::CannotCreate, err};
    }
    return {};
}

}  // namespace

std::string TwelveHourTime(const std::tm& t) {
    int h = t.tm_hour;
    const char* suffix = " AM";
    if (h > 12) {
        h -= 12;
        suffix = " PM";
    }
    if (h == 12) suffix = " PM";
    const std::string hour = h == 0 ? "12" : std::to_string(h);
    return hour + Format(":%02d:%02d", t.tm_min, t.tm_sec, 0) + suffix;
}

std::size_t ReplaceAll(std::string& text, std::string_view token, std::string_view value) {
    if (token.empty()) return 0;
    std::size_t pos = text.find(token);
    if (pos == std::string::npos) return 0;
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    std::size_t count = 0;
    while (pos != std::string::npos) {
        out.append(text, from, pos - from);
        out.append(value);
        from = pos + token.size();
        ++count;
        pos = text.find(token, from);
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
    return count;
}

std::string InFolder(const std::string& startFolder, const std::string& path) {
    if (startFolder.empty() || path.empty() || path[0] == '/') return path;
    return startFolder.back() == '/' ? startFolder + path : startFolder + "/" + path;
}

namespace {

// Text ends at its first NUL byte.
std::string_view AsText(const std::string& value) {
    return std::string_view(value.data(), std::min(value.size(), value.find('\0')));
}

}  // namespace

std::string ExpandPageTemplate(std::string text, const PageValues& v) {
    const std::tm& t = v.time;
    const int year = t.tm_year + 1900;
    const std::string weekday = t.tm_wday >= 0 && t.tm_wday <= 6 ? kWeekdays[t.tm_wday] : "";
    const std::pair<std::string_view, std::string> tokens[] = {
        {"%WI", std::string(AsText(v.wanAddress))},
        {"%I", std::string(AsText(v.lanAddress))},
        {"%D", Format("%02d/%02d/%04d", t.tm_mon + 1, t.tm_mday, year)},
        {"%T", TwelveHourTime(t)},
        {"%24T", Format("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec)},
        {"%W", weekday},
        {"%H", std::string(AsText(v.siteName))},
        {"%S", std::string(AsText(v.statusWord))},
        {"%m", Format("%02d", t.tm_mon + 1, 0, 0)},
        {"%d", Format("%02d", t.tm_mday, 0, 0)},
        {"%y", Format("%04d", year, 0, 0)},
    };
    for (const auto& [token, value] : tokens) ReplaceAll(text, token, value);

    // One pass per program row; once no "%P" is left, none can appear again.
    for (std::size_t i = 0; i < v.programWords.size(); ++i) {
        if (text.find("%P") == std::string::npos) break;
        ReplaceAll(text, "%P" + std::to_string(i), AsText(v.programWords[i]));
    }
    return text;
}

std::string OffWordOf(const std::string& indicatorPair) {
    const std::size_t slash = indicatorPair.find('/');
    return slash == std::string::npos ? indicatorPair : indicatorPair.substr(slash + 1);
}

int GenerateStatusPage(const PageJob& job, PageReporter& reporter) {
    // Messages name the files as the user gave them.
    std::string text;
    if (const int err = ReadTemplate(InFolder(job.startFolder, job.templatePath), text); err != 0) {
        reporter.Post(StatusMessage::Program("P10007", FileErrorText(job.templatePath, err, "open")));
        return -1;
    }
    const PageValues& values = job.values;
    const std::string page = ExpandPageTemplate(std::move(text), values);

    // The output, then the copies. A file that cannot be created is reported
    // and skipped; a write that fails midway ends the whole block.
    const std::pair<std::string, std::string_view> files[] = {
        {job.outputPath, page},
        {job.saveFileHtml, page},
        {job.saveFileAscii, AsText(values.wanAddress)},
    };
    bool first = true;
    for (const auto& [path, content] : files) {
        // An empty copy name turns that copy off.
        if (!std::exchange(first, false) && path.empty()) continue;
        const WriteResult r = ReplaceFile(InFolder(job.startFolder, path), content);
        if (r.outcome == WriteOutcome::CannotCreate) {
            MessageBoxRequest box;
            box.text = FileErrorText(path, r.err, "create");
            box.caption = kBoxCaption;
            box.icon = MbIcon::Warning;
            reporter.ErrorBox(box);
        } else if (r.outcome == WriteOutcome::WriteFailed) {
            MessageBoxRequest box;
            box.text = kDiskWriteErrorText;
            box.caption = kBoxCaption;
            box.icon = MbIcon::Stop;
            reporter.MessageBox(box);
            break;
        }
    }
    return 1;
}

}  // namespace zelmar
