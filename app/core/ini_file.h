// IniFile: a reader and writer of Windows-style initialisation files with the
// semantics of the classic private-profile calls.
//
// Sections and keys match without regard to ASCII case, values are trimmed,
// missing sections and keys are appended, and every byte of the file that a
// write does not concern is kept as it was (comments, blank lines, unknown
// keys, CR LF, LF or CR line ends, a leading UTF-8 byte-order mark). There is
// no cache outside a batch: every call reads the file, so edits made by hand
// between two calls are seen.
//
// Every write replaces the file atomically (see app/core/atomic_file.h): a
// crash or a full disk leaves either the old or the new file. A file created
// here gets mode 0600 because it holds scrambled passwords; an existing file
// keeps its mode; a read-only file, or a name that is no regular file, is not
// written. A symbolic link is written through to its target.
//
// A batch (IniBatch) gathers the writes of one logical save: the file is
// read once, the writes change the copy in memory (reads in between see
// them), and the commit replaces the file once. Batches nest; the outermost
// commits. Writes from other threads while a batch is open join it.
//
// Other writers (a second process such as "zelmar --set-ddns-secret", or the
// user's editor) may change the file while a batch is open: a write changes
// only the keys it means to change. Every replacement takes the file's
// replace lock (IniWriteLock), reads the file anew and applies the edits
// made since the last read to what it finds; a key written to the value it
// already had is no edit at all.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/core/text.h"

namespace zelmar {

// The most of a settings file that is read; anything larger is refused.
inline constexpr std::size_t kMaxIniFileBytes = 4 * 1024 * 1024;

using IniEntries = std::vector<std::pair<std::string, std::string>>;

// The text of an initialisation file as lines, with the edits the file
// operations make. Parse then Render gives back the same bytes.
class IniDocument {
public:
    static IniDocument Parse(std::string_view text);
    std::string Render() const;

    // The trimmed value (quotes stripped) of key in the first section of
    // that name; nullopt when missing.
    std::optional<std::string> Find(const std::string& section, const std::string& key) const;
    // key=value, or deletes the key without a value. Returns true when the
    // text changed.
    bool Set(const std::string& section, const std::string& key, const std::optional<std::string>& value);
    bool RemoveSection(const std::string& section);
    IniEntries Section(const std::string& section) const;
    // The names of all sections in file order, each once (the first
    // spelling of a name that appears twice).
    std::vector<std::string> SectionNames() const;
    // Every line of the section that is neither blank nor a comment, as
    // "key=value" with both sides trimmed, or the trimmed line when it has
    // no "=" (the program list counts such lines too).
    std::vector<std::string> SectionLines(const std::string& section) const;
    void ReplaceSection(const std::string& section, const IniEntries& entries);

private:
    struct Line {
        std::string text;  // without the line end
        std::string eol;   // "\r\n", "\n", "\r" or "" (last line without a line end)
        std::optional<std::string> SectionName() const;
        std::optional<std::string> Key() const;
        std::string Value() const;
    };
    // Calls fn with each line of the first section of that name.
    template <typename Fn>
    void ForEachLineOf(const std::string& section, Fn fn) const;
    std::vector<Line> lines_;
    std::string eol_ = "\n";  // for new lines: the file's most common line end
    bool bom_ = false;
};

class IniFile {
public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}
    // Writes what an open batch still holds: a batch may outlive its file
    // (a worker that never ran keeps one), and then ends without a write.
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::string& path() const { return path_; }

    // The value of key in section, cut to maxChars characters; defaultValue
    // (also cut) when the section, the key or the file is missing. A value
    // enclosed in matching single or double quotes loses the quotes.
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue = "",
                          std::size_t maxChars = 254) const;

    // Leading-integer conversion of the value, as the program reads numbers
    // (non-numeric reads as 0, a missing key as defaultValue).
    long GetInt(const std::string& section, const std::string& key, long defaultValue) const;

    // Writes key=value; no value deletes the key. Returns false, with errno
    // set, when the file could not be read or written (the old file is then
    // left untouched). A line break in the key or value becomes a blank: a
    // value must never start a line (or a section) of its own.
    bool WriteString(const std::string& section, const std::string& key,
                     const std::optional<std::string>& value);

    // Deletes a section with all its lines.
    bool DeleteSection(const std::string& section);

    // The "key=value" entries of a section in file order (lines without '='
    // and comments are left out). Empty when the section is missing.
    IniEntries GetSection(const std::string& section) const;

    // Every line of a section in file order (see IniDocument::SectionLines).
    std::vector<std::string> GetSectionLines(const std::string& section) const;

    // The name of every section in file order, each once: a family of
    // sections ("[DDNS home]", "[DDNS office]") is found by its prefix.
    std::vector<std::string> GetSectionNames() const;

    // Replaces the whole content of a section by the given entries, creating
    // the section when missing.
    bool WriteSection(const std::string& section, const IniEntries& entries);

    // True when the file exists but cannot be read (no regular file, too
    // large, no permission): writes then refuse to touch it (they would
    // replace it with the few keys they know), and readError() (an errno)
    // and readErrorText() (a phrase such as "it is not a regular file") say
    // why.
    bool Unreadable() const;
    int readError() const;
    std::string readErrorText() const;

    // A batch: see the comment at the top. CommitBatch returns false, with
    // errno set, when the outermost commit could not replace the file.
    // writeNow writes what is pending even inside an outer batch (a save
    // must not wait for a refresh that is still looking up addresses).
    void BeginBatch();
    bool CommitBatch(bool writeNow = false);

private:
    enum class LoadResult { Loaded, Missing, Failed };
    LoadResult Load(IniDocument& doc) const;
    LoadResult LoadFromDisk(IniDocument& doc) const;
    // Calls read with the document when it could be loaded; inside a batch
    // without copying it (a settings load asks for a hundred keys).
    void ReadLoaded(const std::function<void(const IniDocument&)>& read) const;
    bool Store(const IniDocument& doc);
    bool Modify(std::function<bool(IniDocument&)> edit);
    bool LoadAndEdit(IniDocument& doc, const std::function<bool(IniDocument&)>& edit, bool& changed);
    // Re-reads the file under the replace lock, applies the batch's edits
    // and replaces it when that changes anything.
    bool WriteBatchEdits();

    friend class IniBatch;
    friend class IniWriteLock;

    std::string path_;
    // False once the file object is gone; batches check it before they
    // commit.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // Guarded by one process-wide lock (see ini_file.cpp).
    mutable int readError_ = 0;
    mutable std::string readErrorText_;
    int batchDepth_ = 0;
    mutable std::optional<IniDocument> batchDoc_;
    mutable bool batchMissing_ = false;
    mutable bool batchReadFailed_ = false;
    bool batchDirty_ = false;
    // The batch's edits since the file was last read or written, in order.
    std::vector<std::function<bool(IniDocument&)>> batchEdits_;
};

// Holds the settings file against every other writer, in this process and
// in others, until it goes out of scope: what a command reads, decides and
// writes (the --set-* options) cannot be undone by a refresh writing at
// the same time, nor undo one. ok() is false when another process kept the
// file locked too long (errno EWOULDBLOCK).
class IniWriteLock {
public:
    explicit IniWriteLock(const IniFile& ini);
    ~IniWriteLock();
    IniWriteLock(const IniWriteLock&) = delete;
    IniWriteLock& operator=(const IniWriteLock&) = delete;
    bool ok() const;

private:
    struct Held;
    std::unique_ptr<Held> held_;
};

// Begins a batch on construction; commits at Commit() or destruction. With
// kWriteOnCommit the commit writes even inside an outer batch. A batch may
// outlive its IniFile; the file's end has then written what was pending.
class IniBatch {
public:
    enum Mode { kJoinOuter, kWriteOnCommit };
    explicit IniBatch(IniFile& ini, Mode mode = kJoinOuter);
    ~IniBatch() { Commit(); }
    IniBatch(const IniBatch&) = delete;
    IniBatch& operator=(const IniBatch&) = delete;
    // True when the batch's writes are on disk (or left to an outer batch).
    bool Commit();

private:
    IniFile* ini_;
    std::shared_ptr<bool> alive_;
    Mode mode_;
    bool ok_ = true;
};

}  // namespace zelmar
