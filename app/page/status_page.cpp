#include "app/page/status_page.h"

#include "app/page/brace_tokens.h"

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

#include "app/core/atomic_file.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"

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
        text = Text<Msg::FileNotFound>(path);
    else
        text = Text<Msg::PageFileError>(doing, path, std::strerror(err));
    if (text.size() > kMaxFileErrorChars) text.resize(kMaxFileErrorChars);
    return text;
}

// Reads at most kMaxTemplateBytes; the page ends at the first NUL byte.
// Returns 0 or the errno of the failure; a name that is no regular file (a
// FIFO would block for ever) is refused with its own sentence in error.
int ReadTemplate(const std::string& path, std::string& text, std::string& error) {
    FileReadResult r = ReadRegularFile(path, kMaxTemplateBytes, CapMode::Truncate);
    if (!r.ok) {
        if (r.notRegular) error = r.error;
        return r.err;
    }
    text = std::move(r.data);
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return 0;
}

// Replaces the file at path with data, atomically (see atomic_file.h); a
// page in a folder that refuses new files is rewritten in place.
AtomicWriteResult ReplaceFile(const std::string& path, std::string_view data, bool durable) {
    AtomicWriteOptions options;
    options.durable = durable;
    options.newFileMode = 0666;
    options.exactModeForNewFile = false;
    options.inPlaceWhenFolderRefuses = true;
    return ReplaceFileAtomically(path, data, options);
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

namespace {

// Text ends at its first NUL byte.
std::string_view AsText(const std::string& value) {
    return std::string_view(value.data(), std::min(value.size(), value.find('\0')));
}

}  // namespace

std::string ExpandPageTemplate(std::string text, const PageValues& v) {
    if (!v.braceValues.empty())
        text = ExpandBraceTokens(text, [&v](std::string_view name) -> std::optional<std::string> {
            const auto it = v.braceValues.find(name);
            if (it == v.braceValues.end()) return std::nullopt;
            return it->second;
        });
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
    std::string text, readError;
    if (const int err = ReadTemplate(InFolder(job.startFolder, job.templatePath), text, readError); err != 0) {
        if (readError.size() > kMaxFileErrorChars) readError.resize(kMaxFileErrorChars);
        reporter.Post(Message(Msg::TemplateUnreadable,
                              {readError.empty() ? FileErrorText(job.templatePath, err, "open") : readError}));
        return -1;
    }
    const PageValues& values = job.values;
    const std::string page = ExpandPageTemplate(std::move(text), values);

    // The output, then the copies. A file that cannot be created is reported
    // and skipped; a write that fails midway ends the whole block.
    struct Output {
        std::string path;
        std::string_view content;
        bool durable;
    };
    const Output files[] = {
        {job.outputPath, page, !job.outputIsWorkingCopy},
        {job.saveFileHtml, page, true},
        {job.saveFileAscii, AsText(values.wanAddress), true},
    };
    bool first = true;
    for (const auto& [path, content, durable] : files) {
        // An empty copy name turns that copy off.
        if (!std::exchange(first, false) && path.empty()) continue;
        const AtomicWriteResult r = ReplaceFile(InFolder(job.startFolder, path), content, durable);
        if (r.outcome == AtomicWriteResult::Outcome::CannotCreate) {
            MessageBoxRequest box;
            box.text = FileErrorText(path, r.err, "create");
            box.caption = kBoxCaption;
            box.icon = MbIcon::Warning;
            reporter.ErrorBox(box);
        } else if (r.outcome == AtomicWriteResult::Outcome::WriteFailed) {
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
