// Opening and reading the files a user names (settings, log, templates,
// message files) so that no file can hang or flood the program: a FIFO or a
// device is refused instead of blocking in open() or read() or reading
// without end, and the amount read is bounded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace zelmar {

struct FileReadResult {
    bool ok = false;
    bool missing = false;    // the file (or a link's target) does not exist
    bool tooLarge = false;   // over the cap with CapMode::Refuse
    bool notRegular = false; // a folder, a FIFO, a device, a socket
    int err = 0;             // errno of the failure, 0 when ok
    std::string error;       // one sentence for the user, empty when ok
    std::string data;
};

// What a file longer than the cap gets: its first cap bytes (a page template
// cut at its buffer size) or a refusal (a settings file that cannot be whole).
enum class CapMode { Truncate, Refuse };

// Reads a regular file, at most cap bytes. A name that is not a regular file
// (a FIFO, a device, a folder) is refused with a clear error; the open never
// waits for a FIFO's writer.
// With followLinks false a symbolic link is refused too (err ELOOP).
FileReadResult ReadRegularFile(const std::string& path, std::size_t cap, CapMode mode = CapMode::Refuse,
                               bool followLinks = true);

// Opens path with flags (O_CLOEXEC is added) without blocking, then checks
// that it is a regular file and makes the descriptor blocking again. Returns
// the descriptor, or -1 with err and error set.
int OpenRegularFile(const std::string& path, int flags, mode_t createMode, int& err, std::string& error,
                    bool* notRegular = nullptr);

// Reads one line from fd in blocks, without its line end ("\n" or "\r\n"),
// and stops once more than limit bytes came without one: line then holds
// limit + 1 bytes, for the caller to refuse as too long, and an endless
// input (/dev/zero, a flood on a pipe) costs no more than that. False when
// the input ended before its first byte.
bool ReadBoundedLine(int fd, std::size_t limit, std::string& line);

// Writes all of data, going on after a short write or a signal. Returns
// false with err set when the system refused.
bool WriteAll(int fd, std::string_view data, int& err);

// The sentence for a name that is there but is no regular file.
std::string NotRegularFileText(const std::string& path, mode_t mode);

// Whether the mode bits of an existing file let us write it, decided from
// its owner, group and mode alone. Unlike access(2) this does not let the
// superuser past a file the user made read-only.
bool WritableByModeBits(const struct stat& st);

// Joins a relative path to the start folder; an absolute path, an empty
// path or an empty start folder leave the path as it is. Every file the
// user names relatively (templates, the log, the pages and their copies)
// lives in the folder the program started in, whatever the process's
// current folder is by then.
std::string InFolder(const std::string& startFolder, const std::string& path);

}  // namespace zelmar
