#include "app/core/ini_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/atomic_file.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"

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

// ---------------------------------------------------------------- document

std::optional<std::string> IniDocument::Line::SectionName() const {
    std::string t = Trim(text);
    if (t.empty() || t[0] != '[') return std::nullopt;
    std::size_t close = t.find(']');
    return Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

std::optional<std::string> IniDocument::Line::Key() const {
    std::string t = Trim(text);
    if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
    std::size_t eq = text.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return Trim(text.substr(0, eq));
}

std::string IniDocument::Line::Value() const {
    std::size_t eq = text.find('=');
    return eq == std::string::npos ? std::string() : Trim(text.substr(eq + 1));
}

IniDocument IniDocument::Parse(std::string_view data) {
    IniDocument doc;
    // Editors that save "as UTF-8" often put a byte-order mark first; it
    // would hide the first section header.
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (data.substr(0, kBom.size()) == kBom) {
        doc.bom_ = true;
        data.remove_prefix(kBom.size());
    }
    std::size_t crlf = 0, lf = 0, cr = 0, pos = 0;
    while (pos < data.size()) {
        const std::size_t brk = data.find_first_of("\r\n", pos);
        Line line;
        if (brk == std::string_view::npos) {
            line.text = std::string(data.substr(pos));
            pos = data.size();
        } else {
            line.text = std::string(data.substr(pos, brk - pos));
            if (data[brk] == '\r' && brk + 1 < data.size() && data[brk + 1] == '\n') {
                line.eol = "\r\n";
                ++crlf;
            } else if (data[brk] == '\r') {
                line.eol = "\r";
                ++cr;
            } else {
                line.eol = "\n";
                ++lf;
            }
            pos = brk + line.eol.size();
        }
        doc.lines_.push_back(std::move(line));
    }
    // New lines follow the file's own convention, so a file from Windows
    // stays a CR LF file.
    if (crlf > lf && crlf >= cr)
        doc.eol_ = "\r\n";
    else if (cr > lf && cr > crlf)
        doc.eol_ = "\r";
    return doc;
}

std::string IniDocument::Render() const {
    std::string out = bom_ ? "\xEF\xBB\xBF" : "";
    for (const Line& l : lines_) {
        out += l.text;
        out += l.eol;
    }
    return out;
}

std::optional<std::string> IniDocument::Find(const std::string& section, const std::string& key) const {
    bool inSection = false;
    for (const Line& l : lines_) {
        if (auto s = l.SectionName()) {
            if (inSection) break;  // only the first section of that name counts
            inSection = EqualsNoCase(*s, section);
            continue;
        }
        if (!inSection) continue;
        auto k = l.Key();
        if (k && EqualsNoCase(*k, key)) {
            std::string result = l.Value();
            if (result.size() >= 2 && (result[0] == '"' || result[0] == '\'') && result.back() == result[0])
                result = result.substr(1, result.size() - 2);
            return result;
        }
    }
    return std::nullopt;
}

namespace {

std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

}  // namespace

bool IniDocument::Set(const std::string& section, const std::string& rawKey,
                      const std::optional<std::string>& rawValue) {
    const std::string key = OneLine(rawKey);
    const std::optional<std::string> value = rawValue ? std::optional<std::string>(OneLine(*rawValue)) : std::nullopt;

    // [header, end) of the first section of that name.
    std::size_t header = 0, end = 0;
    bool found = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        auto s = lines_[i].SectionName();
        if (!s) continue;
        if (found) {
            end = i;
            break;
        }
        if (EqualsNoCase(*s, section)) {
            found = true;
            header = i;
            end = lines_.size();
        }
    }

    if (!found) {
        if (!value) return false;  // nothing to delete
        if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol_;
        lines_.push_back({"[" + section + "]", eol_});
        lines_.push_back({key + "=" + *value, eol_});
        return true;
    }

    std::size_t lastKeyLine = header;
    for (std::size_t i = header + 1; i < end; ++i) {
        auto k = lines_[i].Key();
        if (!k) continue;
        lastKeyLine = i;
        if (!EqualsNoCase(*k, key)) continue;
        if (!value) {
            lines_.erase(lines_.begin() + static_cast<long>(i));
        } else {
            // Keep the key as spelled in the file; only the value changes.
            lines_[i].text = Trim(lines_[i].text.substr(0, lines_[i].text.find('='))) + "=" + *value;
        }
        return true;
    }
    if (!value) return false;
    if (lines_[lastKeyLine].eol.empty()) lines_[lastKeyLine].eol = eol_;
    lines_.insert(lines_.begin() + static_cast<long>(lastKeyLine) + 1, Line{key + "=" + *value, eol_});
    return true;
}

bool IniDocument::RemoveSection(const std::string& section) {
    std::vector<Line> kept;
    bool inSection = false, changed = false;
    for (Line& l : lines_) {
        if (auto s = l.SectionName()) inSection = EqualsNoCase(*s, section);
        if (inSection) {
            changed = true;
            continue;
        }
        kept.push_back(std::move(l));
    }
    lines_ = std::move(kept);
    return changed;
}

template <typename Fn>
void IniDocument::ForEachLineOf(const std::string& section, Fn fn) const {
    bool inSection = false;
    for (const Line& l : lines_) {
        if (auto s = l.SectionName()) {
            if (inSection) break;  // the first section of that name wins
            inSection = EqualsNoCase(*s, section);
            continue;
        }
        if (inSection) fn(l);
    }
}

IniEntries IniDocument::Section(const std::string& section) const {
    IniEntries out;
    ForEachLineOf(section, [&](const Line& l) {
        if (auto k = l.Key()) out.emplace_back(*k, l.Value());
    });
    return out;
}

std::vector<std::string> IniDocument::SectionNames() const {
    std::vector<std::string> out;
    for (const Line& l : lines_) {
        const std::optional<std::string> name = l.SectionName();
        if (!name) continue;
        bool seen = false;
        for (const std::string& n : out) seen = seen || EqualsNoCase(n, *name);
        if (!seen) out.push_back(*name);
    }
    return out;
}

std::vector<std::string> IniDocument::SectionLines(const std::string& section) const {
    std::vector<std::string> out;
    ForEachLineOf(section, [&](const Line& l) {
        const std::string t = Trim(l.text);
        if (t.empty() || t[0] == ';') return;
        const std::size_t eq = t.find('=');
        out.push_back(eq == std::string::npos ? t : Trim(t.substr(0, eq)) + "=" + Trim(t.substr(eq + 1)));
    });
    return out;
}

void IniDocument::ReplaceSection(const std::string& section, const IniEntries& entries) {
    std::vector<Line> body;
    for (const auto& [k, v] : entries) body.push_back({OneLine(k) + "=" + OneLine(v), eol_});

    for (std::size_t i = 0; i < lines_.size(); ++i) {
        auto s = lines_[i].SectionName();
        if (!s || !EqualsNoCase(*s, section)) continue;
        std::size_t end = i + 1;
        while (end < lines_.size() && !lines_[end].SectionName()) ++end;
        // Blank lines that separate this section from the next one stay.
        std::size_t keepFrom = end;
        while (keepFrom > i + 1 && Trim(lines_[keepFrom - 1].text).empty()) --keepFrom;
        if (lines_[i].eol.empty()) lines_[i].eol = eol_;
        lines_.erase(lines_.begin() + static_cast<long>(i) + 1, lines_.begin() + static_cast<long>(keepFrom));
        lines_.insert(lines_.begin() + static_cast<long>(i) + 1, body.begin(), body.end());
        return;
    }
    if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol_;
    lines_.push_back({"[" + section + "]", eol_});
    lines_.insert(lines_.end(), body.begin(), body.end());
}

// ---------------------------------------------------------------- file

namespace {

// Writers in different threads (the worker's addresses, the main loop's
// program statuses) each read, edit and replace the whole file: without one
// lock around that, the later rename would drop the earlier change. The same
// lock guards the batch state of every IniFile.
std::recursive_mutex& FileLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

IniFile::LoadResult IniFile::LoadFromDisk(IniDocument& doc) const {
    readError_ = 0;
    readErrorText_.clear();
    FileReadResult r = ReadRegularFile(path_, kMaxIniFileBytes, CapMode::Refuse);
    if (r.missing) {
        doc = IniDocument();
        return LoadResult::Missing;
    }
    if (!r.ok) {
        readError_ = r.err;
        readErrorText_ = r.notRegular ? Text<Msg::NotARegularFile>()
                         : r.tooLarge ? Text<Msg::SettingsFileTooLarge>(kMaxIniFileBytes / (1024 * 1024))
                                      : std::string(std::strerror(r.err));
        return LoadResult::Failed;
    }
    doc = IniDocument::Parse(r.data);
    return LoadResult::Loaded;
}

IniFile::LoadResult IniFile::Load(IniDocument& doc) const {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (batchDepth_ == 0) return LoadFromDisk(doc);
    if (batchReadFailed_) return LoadResult::Failed;  // read once per batch, even when it fails
    if (!batchDoc_) {
        IniDocument fresh;
        const LoadResult r = LoadFromDisk(fresh);
        if (r == LoadResult::Failed) {
            batchReadFailed_ = true;
            return r;
        }
        batchDoc_ = std::move(fresh);
        batchMissing_ = r == LoadResult::Missing;
    }
    doc = *batchDoc_;
    return batchMissing_ && !batchDirty_ ? LoadResult::Missing : LoadResult::Loaded;
}

bool IniFile::Store(const IniDocument& doc) {
    if (batchDepth_ > 0) {
        // Refuse now what the commit would refuse, so the caller hears of
        // a read-only or special file at once.
        if (const int err = ReplaceableFileError(path_); err != 0) {
            errno = err;
            return false;
        }
        batchDoc_ = doc;
        batchDirty_ = true;
        return true;
    }
    return ReplaceFileAtomically(path_, doc.Render()).ok();
}

bool IniFile::Modify(std::function<bool(IniDocument&)> edit) {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (batchDepth_ > 0) {
        IniDocument doc;
        bool changed = false;
        if (!LoadAndEdit(doc, edit, changed)) return false;
        if (!changed) return true;
        if (!Store(doc)) return false;
        batchEdits_.push_back(std::move(edit));
        return true;
    }
    FileReplaceLock lock(path_);
    if (!lock.ok()) {
        errno = lock.err();
        return false;
    }
    IniDocument doc;
    bool changed = false;
    if (!LoadAndEdit(doc, edit, changed)) return false;
    return !changed || Store(doc);
}

// Loads the file into doc and applies edit; false (errno set) when the file
// cannot be read. A write that changes no byte (the same address as last
// time) is no edit: changed stays false, so nothing is stored and a batch's
// commit never puts back an older value.
bool IniFile::LoadAndEdit(IniDocument& doc, const std::function<bool(IniDocument&)>& edit, bool& changed) {
    if (Load(doc) == LoadResult::Failed) {
        errno = readError_;
        return false;
    }
    const std::string before = doc.Render();
    edit(doc);
    changed = doc.Render() != before;
    return true;
}

bool IniFile::WriteBatchEdits() {
    FileReplaceLock lock(path_);
    if (!lock.ok()) {
        errno = lock.err();
        return false;
    }
    IniDocument fresh;
    const LoadResult r = LoadFromDisk(fresh);
    if (r == LoadResult::Failed) {
        errno = readError_;
        return false;
    }
    const std::string onDisk = r == LoadResult::Loaded ? fresh.Render() : std::string();
    for (const auto& edit : batchEdits_) edit(fresh);
    const std::string text = fresh.Render();
    // Edits that undo each other (a section deleted and written back as it
    // was) change no byte: the file is left alone.
    if (!(r == LoadResult::Loaded && onDisk == text) && !ReplaceFileAtomically(path_, text).ok()) return false;
    batchDoc_ = std::move(fresh);
    batchEdits_.clear();
    batchDirty_ = false;
    batchMissing_ = false;
    return true;
}

IniFile::~IniFile() {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (batchDepth_ > 0 && batchDirty_ && batchDoc_) (void)WriteBatchEdits();
    *alive_ = false;
}

IniBatch::IniBatch(IniFile& ini, Mode mode) : ini_(&ini), alive_(ini.alive_), mode_(mode) { ini_->BeginBatch(); }

bool IniBatch::Commit() {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (!ini_) return ok_;
    if (*alive_) ok_ = ini_->CommitBatch(mode_ == kWriteOnCommit);
    ini_ = nullptr;
    return ok_;
}

void IniFile::BeginBatch() {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    ++batchDepth_;
}

bool IniFile::CommitBatch(bool writeNow) {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (batchDepth_ == 0) return true;
    --batchDepth_;
    if (batchDepth_ > 0 && !writeNow) return true;
    bool ok = true;
    // A failed write stays pending for the outer batch to try again.
    if (batchDirty_ && batchDoc_) ok = WriteBatchEdits();
    const int saved = errno;
    if (batchDepth_ == 0) {
        batchDoc_.reset();
        batchDirty_ = false;
        batchMissing_ = false;
        batchReadFailed_ = false;
        batchEdits_.clear();
    }
    errno = saved;
    return ok;
}

bool IniFile::Unreadable() const {
    IniDocument doc;
    return Load(doc) == LoadResult::Failed;
}

int IniFile::readError() const {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    return readError_;
}

std::string IniFile::readErrorText() const {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    return readErrorText_;
}

void IniFile::ReadLoaded(const std::function<void(const IniDocument&)>& read) const {
    std::lock_guard<std::recursive_mutex> guard(FileLock());
    if (batchDepth_ > 0 && batchDoc_) {
        if (!(batchMissing_ && !batchDirty_)) read(*batchDoc_);
        return;
    }
    IniDocument doc;
    if (Load(doc) == LoadResult::Loaded) read(doc);
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& defaultValue, std::size_t maxChars) const {
    std::string result = Trim(defaultValue);
    ReadLoaded([&](const IniDocument& doc) {
        if (auto v = doc.Find(section, key)) result = std::move(*v);
    });
    if (result.size() > maxChars) result.resize(maxChars);
    return result;
}

long IniFile::GetInt(const std::string& section, const std::string& key, long defaultValue) const {
    const std::string marker("\x01");
    std::string v = GetString(section, key, marker);
    if (v == marker) return defaultValue;
    return LeadingInt(v);
}

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::optional<std::string>& value) {
    return Modify([section, key, value](IniDocument& doc) { return doc.Set(section, key, value); });
}

bool IniFile::DeleteSection(const std::string& section) {
    return Modify([section](IniDocument& doc) { return doc.RemoveSection(section); });
}

IniEntries IniFile::GetSection(const std::string& section) const {
    IniDocument doc;
    if (Load(doc) != LoadResult::Loaded) return {};
    return doc.Section(section);
}

std::vector<std::string> IniFile::GetSectionNames() const {
    IniDocument doc;
    if (Load(doc) != LoadResult::Loaded) return {};
    return doc.SectionNames();
}

std::vector<std::string> IniFile::GetSectionLines(const std::string& section) const {
    IniDocument doc;
    if (Load(doc) != LoadResult::Loaded) return {};
    return doc.SectionLines(section);
}

bool IniFile::WriteSection(const std::string& section, const IniEntries& entries) {
    return Modify([section, entries](IniDocument& doc) {
        doc.ReplaceSection(section, entries);
        return true;
    });
}

struct IniWriteLock::Held {
    std::unique_lock<std::recursive_mutex> thread;
    FileReplaceLock file;
    explicit Held(const std::string& path) : thread(FileLock()), file(path) {}
};

IniWriteLock::IniWriteLock(const IniFile& ini) : held_(std::make_unique<Held>(ini.path())) {}
IniWriteLock::~IniWriteLock() = default;
bool IniWriteLock::ok() const { return held_->file.ok(); }

}  // namespace zelmar
