#include "app/core/event_log.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/atomic_file.h"
#include "app/core/file_io.h"
#include "app/core/host.h"
#include "app/core/messages.h"

namespace zelmar {

std::string LocalTimeText(std::time_t when, const char* format) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

std::string TimeDisplay(std::chrono::system_clock::time_point t) {
    return LocalTimeText(std::chrono::system_clock::to_time_t(t), "%m/%d/%y %H:%M:%S") + "  ";
}

ClassifiedMessage ClassifyMessage(const std::string& m) {
    ClassifiedMessage c;
    if (!m.empty() && m[0] == 'P') {
        c.programMessage = true;
    } else {
        // Leading digits of an FTP reply; no number at all means the client
        // never got a reply to report.
        long code = 0;
        for (std::size_t i = 0; i < m.size() && i < 9 && m[i] >= '0' && m[i] <= '9'; ++i)
            code = code * 10 + (m[i] - '0');
        c.connectionFailure = code == 0;
    }
    if (c.connectionFailure) {
        c.displayText = kConnectionFailureText;
    } else {
        std::size_t space = m.find(' ');
        c.displayText = space == std::string::npos ? m : m.substr(space + 1);
    }
    return c;
}

long DayNumber(int y, int m, int d) {
    int Y, M;
    if (m > 2) {
        Y = y;
        M = m + 1;
    } else {
        Y = y - 1;
        M = m + 13;
    }
    return static_cast<long>(std::floor(365.25 * Y)) + static_cast<long>(std::floor(30.6001 * M)) + d + 1720982L;
}

std::optional<long> LineDayNumber(const std::string& line) {
    if (line.size() < 8 || line[2] != '/' || line[5] != '/') return std::nullopt;
    auto two = [&](std::size_t at) -> int {
        char a = line[at], b = line[at + 1];
        if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
        return (a - '0') * 10 + (b - '0');
    };
    int month = two(0), day = two(3), year = two(6);
    if (month < 1 || month > 12 || day < 1 || year < 0) return std::nullopt;
    year += 2000;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int maxDay = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day > maxDay) return std::nullopt;
    return DayNumber(year, month, day);
}

namespace {

long TodayUtc(const Host& host) {
    std::time_t tt = std::chrono::system_clock::to_time_t(host.Now());
    std::tm tm{};
    gmtime_r(&tt, &tm);
    return DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

// One write of one log line: open (creating it, keeping the content), append,
// close. A log that is no regular file is refused (a FIFO would block, a
// device would swallow the lines); a log the user made read-only is left
// alone like one that cannot be opened.
class LogFileWriter {
public:
    LogFileWriter(bool enabled, const std::string& path) {
        if (!enabled) return;
        struct stat st {};
        // The link itself, not its target: a link planted under the log's
        // name would have the lines appended to whatever it points at.
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                notRegular_ = true;
                return;
            }
            if (!WritableByModeBits(st)) return;
        }
        int err = 0;
        std::string error;
        fd_ = OpenRegularFile(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644, err, error, &notRegular_);
        if (fd_ < 0 && err == ELOOP) notRegular_ = true;  // a link made in between
    }
    ~LogFileWriter() {
        if (fd_ >= 0) ::close(fd_);
    }
    LogFileWriter(const LogFileWriter&) = delete;
    LogFileWriter& operator=(const LogFileWriter&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool notRegular() const { return notRegular_; }
    bool WriteLine(const std::string& stamp, const std::string& text) {
        // One write per line, so another program appending to the same file
        // cannot split it.
        int err = 0;
        return WriteAll(fd_, stamp + text + "\r\n", err);
    }

private:
    int fd_ = -1;
    bool notRegular_ = false;
};

bool AppendLine(const std::string& text, const LogSettings& s, Host& host) {
    LogFileWriter writer(s.IsLogging != 0, s.LogFilename);
    if (writer.notRegular()) return false;
    if (!writer.isOpen()) return true;  // an unopenable log loses the line silently
    if (text.empty()) return true;
    return writer.WriteLine(TimeDisplay(host.Now()), text);
}

// Calls fn for each line of data (split at LF, a CR before it dropped).
template <typename Fn>
void ForEachLine(const std::string& data, Fn fn) {
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t nl = data.find('\n', pos);
        std::size_t end = nl == std::string::npos ? data.size() : nl;
        std::string line = data.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!fn(line)) return;
        pos = end + 1;
    }
}

// The day number of the first dated line, if any.
std::optional<long> FirstLineDay(const std::string& path) {
    // The first dated line is nearly always in the first few lines; only a
    // log that starts with a very long undated text is read whole.
    constexpr std::size_t kHead = 1 << 20;
    for (std::size_t cap : {kHead, SIZE_MAX}) {
        const FileReadResult r = ReadRegularFile(path, cap, CapMode::Truncate);
        if (!r.ok) return std::nullopt;
        std::optional<long> first;
        ForEachLine(r.data, [&](const std::string& line) {
            first = LineDayNumber(line);
            return !first;
        });
        if (first || r.data.size() < cap) return first;
    }
    return std::nullopt;
}

}  // namespace

bool PurgeLog(const LogSettings& s, Host& host) {
    if (s.MaxLog == 0 || s.LogFilename.empty()) return true;
    struct stat st {};
    // A link under the log's name is not purged through (nor written to).
    if (::lstat(s.LogFilename.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return true;
    // A log the user made read-only, or a special file, is not rewritten.
    if (ReplaceableFileError(s.LogFilename) != 0) return true;

    const long today = TodayUtc(host);
    const std::optional<long> firstDay = FirstLineDay(s.LogFilename);
    if (!firstDay || today - *firstDay <= s.MaxLog) return true;

    if (!AppendLine(MessageText(Msg::CleaningLog), s, host)) return false;
    // The rotation file of earlier versions must go first; one that cannot
    // be deleted stops the purge, as it always did.
    const std::string tmp = s.LogFilename + ".tmp";
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;

    const FileReadResult old = ReadRegularFile(s.LogFilename, SIZE_MAX, CapMode::Truncate);
    if (!old.ok) return false;
    std::string kept;
    ForEachLine(old.data, [&](const std::string& line) {
        auto day = LineDayNumber(line);
        if (day && today - *day <= s.MaxLog) {
            kept += line;
            kept += "\r\n";
        }
        return true;
    });
    // The old log stays whole unless the purged one is on disk.
    return ReplaceFileAtomically(s.LogFilename, kept).ok();
}

bool EventLogWrite(const std::string& text, const LogSettings& s, Host& host) {
    if (s.IsLogging == 0) return true;
    if (!PurgeLog(s, host)) return false;
    if (s.LogFilename.empty()) {
        MessageBoxRequest box;
        box.text = Text<Msg::NoLogName>();
        host.MessageBox(box);
        return true;
    }
    return AppendLine(text, s, host);
}

}  // namespace zelmar
