// IniFile: a reader and writer of Windows-style initialisation files with the
// semantics of the classic private-profile calls.
//
// Sections and keys match without regard to ASCII case, values are trimmed,
// missing sections and keys are appended, and every byte of the file that a
// write does not concern is kept as it was (comments, blank lines, unknown
// keys, CR LF or LF line ends). There is no cache: every call reads the file,
// so edits made by hand between two calls are seen.
//
// Every write replaces the file atomically: the new content goes to a temp
// file in the same folder, is flushed to disk and renamed over the old one,
// so a crash or a full disk leaves either the old or the new file, never half
// of one. A file created here gets mode 0600 because it holds scrambled
// passwords; an existing file keeps its mode.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/text.h"

namespace zelmar {

class IniFile {
public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

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

    // Writes key=value; no value deletes the key. Returns false when the file
    // could not be read or written (the old file is then left untouched).
    // A line break in the key or value becomes a blank: a value must never
    // start a line (or a section) of its own.
    bool WriteString(const std::string& section, const std::string& key,
                     const std::optional<std::string>& value);

    // Deletes a section with all its lines.
    bool DeleteSection(const std::string& section);

    // The "key=value" entries of a section in file order (lines without '='
    // and comments are left out). Empty when the section is missing.
    std::vector<std::pair<std::string, std::string>> GetSection(const std::string& section) const;

    // Replaces the whole content of a section by the given entries, creating
    // the section when missing.
    bool WriteSection(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries);

    // True when the file exists but cannot be read: writes then refuse to
    // touch it (they would replace it with the few keys they know), and
    // readError() says why.
    bool Unreadable() const;
    int readError() const { return readError_; }

private:
    struct Line;
    enum class LoadResult { Loaded, Missing, Failed };
    LoadResult Load(std::vector<Line>& lines, std::string& eol) const;
    bool Store(const std::vector<Line>& lines) const;

    std::string path_;
    mutable int readError_ = 0;
};

// Atomically replaces path by content (temp file + fsync + rename). A new
// file gets newFileMode; an existing one keeps its mode. Returns false, with
// errno set, when anything failed; the old file is then untouched.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         unsigned newFileMode = 0600);

}  // namespace zelmar
