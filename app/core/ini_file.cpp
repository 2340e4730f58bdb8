#include "app/core/ini_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zelmar {

namespace {

std::string Trim(const std::string& s) { return TrimBlanks(s); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string TrimBlanks(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

long LeadingInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483647LL) value = 2147483647LL;  // a huge number must not overflow
    }
    return static_cast<long>(negative ? -value : value);
}

struct IniFile::Line {
    std::string text;  // without the line end
    std::string eol;   // "\r\n", "\n" or "" (last line without a line end)

    // Section name when this line opens a section.
    std::optional<std::string> Section() const {
        std::string t = Trim(text);
        if (t.empty() || t[0] != '[') return std::nullopt;
        std::size_t close = t.find(']');
        return Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    }
    // Key name when this line holds key=value (comments never do).
    std::optional<std::string> Key() const {
        std::string t = Trim(text);
        if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
        std::size_t eq = text.find('=');
        if (eq == std::string::npos) return std::nullopt;
        return Trim(text.substr(0, eq));
    }
    std::string Value() const {
        std::size_t eq = text.find('=');
        return eq == std::string::npos ? std::string() : Trim(text.substr(eq + 1));
    }
};

IniFile::LoadResult IniFile::Load(std::vector<Line>& lines, std::string& eol) const {
    lines.clear();
    eol = "\n";
    readError_ = 0;
    std::string data;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return LoadResult::Missing;
        readError_ = errno;
        return LoadResult::Failed;
    }
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            readError_ = errno;
            ::close(fd);
            return LoadResult::Failed;
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::size_t crlf = 0, lf = 0, pos = 0;
    while (pos < data.size()) {
        std::size_t nl = data.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = data.substr(pos);
            pos = data.size();
        } else {
            std::size_t end = nl;
            if (end > pos && data[end - 1] == '\r') {
                --end;
                line.eol = "\r\n";
                ++crlf;
            } else {
                line.eol = "\n";
                ++lf;
            }
            line.text = data.substr(pos, end - pos);
            pos = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    // New lines follow the file's own convention, so a file from Windows
    // stays a CR LF file.
    if (crlf > lf) eol = "\r\n";
    return LoadResult::Loaded;
}

bool IniFile::Unreadable() const {
    std::vector<Line> lines;
    std::string eol;
    return Load(lines, eol) == LoadResult::Failed;
}

namespace {

// Writers in different threads (the worker's addresses, the main loop's
// program statuses) each read, edit and replace the whole file: without one
// lock around that, the later rename would drop the earlier change.
std::mutex& WriteLock() {
    static std::mutex lock;
    return lock;
}

std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, unsigned newFileMode) {
    std::string dir = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    mode_t mode = static_cast<mode_t>(newFileMode);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string tmpl = (dir == "/" ? std::string() : dir) + "/." + base + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, mode) == 0;
    const char* p = content.data();
    std::size_t left = content.size();
    while (ok && left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(name.data(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(name.data());
        errno = saved;
    }
    return ok;
}

bool IniFile::Store(const std::vector<Line>& lines) const {
    std::string out;
    for (const Line& l : lines) {
        out += l.text;
        out += l.eol;
    }
    return WriteFileAtomically(path_, out, 0600);
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& defaultValue, std::size_t maxChars) const {
    std::vector<Line> lines;
    std::string eol;
    std::string result = Trim(defaultValue);
    if (Load(lines, eol) == LoadResult::Loaded) {
        bool inSection = false;
        for (const Line& l : lines) {
            if (auto s = l.Section()) {
                if (inSection) break;  // only the first section of that name counts
                inSection = EqualsNoCase(*s, section);
                continue;
            }
            if (!inSection) continue;
            auto k = l.Key();
            if (k && EqualsNoCase(*k, key)) {
                result = l.Value();
                if (result.size() >= 2 && (result[0] == '"' || result[0] == '\'') &&
                    result.back() == result[0])
                    result = result.substr(1, result.size() - 2);
                break;
            }
        }
    }
    if (result.size() > maxChars) result.resize(maxChars);
    return result;
}

long IniFile::GetInt(const std::string& section, const std::string& key, long defaultValue) const {
    const std::string marker("\x01");
    std::string v = GetString(section, key, marker);
    if (v == marker) return defaultValue;
    return LeadingInt(v);
}

namespace {

// Index range [header, end) of a section: header is the "[name]" line, end the
// next section's header (or the end of the file).
struct SectionRange {
    std::size_t header = 0, end = 0;
    bool found = false;
};

}  // namespace

bool IniFile::WriteString(const std::string& section, const std::string& rawKey,
                          const std::optional<std::string>& rawValue) {
    const std::string key = OneLine(rawKey);
    const std::optional<std::string> value = rawValue ? std::optional<std::string>(OneLine(*rawValue)) : std::nullopt;
    std::lock_guard<std::mutex> guard(WriteLock());
    std::vector<Line> lines;
    std::string eol;
    if (Load(lines, eol) == LoadResult::Failed) return false;

    SectionRange range;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto s = lines[i].Section();
        if (!s) continue;
        if (range.found) {
            range.end = i;
            break;
        }
        if (EqualsNoCase(*s, section)) {
            range.found = true;
            range.header = i;
            range.end = lines.size();
        }
    }

    if (!range.found) {
        if (!value) return true;  // nothing to delete
        if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({key + "=" + *value, eol});
        return Store(lines);
    }

    std::size_t lastKeyLine = range.header;
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
        auto k = lines[i].Key();
        if (!k) continue;
        lastKeyLine = i;
        if (!EqualsNoCase(*k, key)) continue;
        if (!value) {
            lines.erase(lines.begin() + static_cast<long>(i));
        } else {
            // Keep the key as spelled in the file; only the value changes.
            lines[i].text = Trim(lines[i].text.substr(0, lines[i].text.find('='))) + "=" + *value;
        }
        return Store(lines);
    }
    if (!value) return true;
    if (lines[lastKeyLine].eol.empty()) lines[lastKeyLine].eol = eol;
    lines.insert(lines.begin() + static_cast<long>(lastKeyLine) + 1, Line{key + "=" + *value, eol});
    return Store(lines);
}

bool IniFile::DeleteSection(const std::string& section) {
    std::lock_guard<std::mutex> guard(WriteLock());
    std::vector<Line> lines;
    std::string eol;
    switch (Load(lines, eol)) {
        case LoadResult::Missing:
            return true;
        case LoadResult::Failed:
            return false;
        case LoadResult::Loaded:
            break;
    }
    std::vector<Line> kept;
    bool inSection = false, changed = false;
    for (Line& l : lines) {
        if (auto s = l.Section()) inSection = EqualsNoCase(*s, section);
        if (inSection) {
            changed = true;
            continue;
        }
        kept.push_back(std::move(l));
    }
    return changed ? Store(kept) : true;
}

std::vector<std::pair<std::string, std::string>> IniFile::GetSection(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    std::vector<Line> lines;
    std::string eol;
    if (Load(lines, eol) != LoadResult::Loaded) return out;
    bool inSection = false;
    for (const Line& l : lines) {
        if (auto s = l.Section()) {
            if (inSection) break;  // the first section of that name wins
            inSection = EqualsNoCase(*s, section);
            continue;
        }
        if (!inSection) continue;
        if (auto k = l.Key()) out.emplace_back(*k, l.Value());
    }
    return out;
}

bool IniFile::WriteSection(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& entries) {
    std::lock_guard<std::mutex> guard(WriteLock());
    std::vector<Line> lines;
    std::string eol;
    if (Load(lines, eol) == LoadResult::Failed) return false;
    std::vector<Line> body;
    for (const auto& [k, v] : entries) body.push_back({OneLine(k) + "=" + OneLine(v), eol});

    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto s = lines[i].Section();
        if (!s || !EqualsNoCase(*s, section)) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !lines[end].Section()) ++end;
        // Blank lines that separate this section from the next one stay.
        std::size_t keepFrom = end;
        while (keepFrom > i + 1 && Trim(lines[keepFrom - 1].text).empty()) --keepFrom;
        if (lines[i].eol.empty()) lines[i].eol = eol;
        lines.erase(lines.begin() + static_cast<long>(i) + 1, lines.begin() + static_cast<long>(keepFrom));
        lines.insert(lines.begin() + static_cast<long>(i) + 1, body.begin(), body.end());
        return Store(lines);
    }
    if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
    lines.push_back({"[" + section + "]", eol});
    lines.insert(lines.end(), body.begin(), body.end());
    return Store(lines);
}

}  // namespace zelmar
