// Replacing a whole file so that a crash, a full disk or any failure midway
// leaves either the old file or the new one, never part of one: the settings
// file, the status page and its copies, and the purged log all go this way.
//
// The rules every replacement follows:
// - a symbolic link is written through: its final target is replaced (in the
//   target's own folder, so the rename stays atomic) and the link stays;
// - a name whose target is not a regular file (a folder, a FIFO, /dev/null)
//   is refused, and so is a file whose mode bits do not let us write it (a
//   file the user made read-only is not replaced through its folder, even by
//   the superuser);
// - a replaced file keeps its mode; a new file gets newFileMode, exactly when
//   exactModeForNewFile is set (files holding settings: 0600 whatever the
//   umask), else as the umask leaves it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zelmar {

struct AtomicWriteOptions {
    mode_t newFileMode = 0600;
    bool exactModeForNewFile = true;
    // When the folder refuses new files but the existing regular file is
    // writable, write it in place instead (not atomic; only for output that
    // may be regenerated, such as the status page).
    bool inPlaceWhenFolderRefuses = false;
    // Flush the data to disk before the rename. Only a working copy that is
    // read back and deleted within the same refresh (the page to upload, the
    // mail text) goes without: after a crash it is regenerated anyway, and
    // the flush would cost the refresh a disk round trip for nothing.
    bool durable = true;
    // False: a symbolic link is refused (ELOOP) instead of written through,
    // for a file the program alone keeps, where a link can only be a trap.
    bool followLinks = true;
};

struct AtomicWriteResult {
    enum class Outcome {
        Written,
        CannotCreate,  // nothing was written; the old file is untouched
        WriteFailed,   // the data could not be written or flushed; the old file is untouched
    };
    Outcome outcome = Outcome::Written;
    int err = 0;
    bool ok() const { return outcome == Outcome::Written; }
};

// Writes content to a temp file next to the (link-resolved) path, flushes it
// to disk and renames it over the old file. On failure errno is set too.
AtomicWriteResult ReplaceFileAtomically(const std::string& path, std::string_view content,
                                        const AtomicWriteOptions& options = {});

// 0 when a replacement of path would be attempted, else the errno with which
// it is refused at once (a folder, a special file, a read-only file).
int ReplaceableFileError(const std::string& path);

// The final target of path when it is a symbolic link (chains followed, a
// relative target taken from the link's folder); path itself otherwise. A
// dangling link yields the name it points at.
std::string ResolveLinkTarget(const std::string& path);

// An exclusive lock on the file at path against every process that replaces
// it through ReplaceFileAtomically while holding such a lock: a writer that
// reads, edits and replaces the file under it cannot drop another's change.
// The lock sits on the file itself (flock), not on a file of its own, so
// the folder gets nothing new. As a replacement puts a new file in place,
// the holder's own replacements lock the new file before it appears, and a
// waiter that wakes on the old one tries again on the new one.
//
// Held by a process, not a thread: a second lock on the same path in the
// same process only counts up (the callers keep their threads apart). A
// missing file or one that is no regular file leaves nothing to lock; the
// lock is then held in name only. When another process keeps the file
// locked longer than wait, ok() is false and err() is EWOULDBLOCK.
class FileReplaceLock {
public:
    explicit FileReplaceLock(const std::string& path, std::chrono::milliseconds wait = std::chrono::seconds(10));
    ~FileReplaceLock();
    FileReplaceLock(const FileReplaceLock&) = delete;
    FileReplaceLock& operator=(const FileReplaceLock&) = delete;
    bool ok() const { return ok_; }
    int err() const { return err_; }

private:
    std::string key_;
    bool ok_ = false;
    int err_ = 0;
};

// Seams for tests: every replacement reports the path it replaced, and the
// flush can be made to fail. Empty functions mean the normal behaviour.
struct AtomicFileSeams {
    std::function<void(const std::string& replacedPath)> onReplaced;
    // Returns 0 or an errno to fail the flush of a temp file for finalPath.
    std::function<int(const std::string& finalPath)> failFsync;
};
void SetAtomicFileSeams(AtomicFileSeams seams);

}  // namespace zelmar
