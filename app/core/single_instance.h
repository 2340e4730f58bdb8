// SingleInstance: one running copy of the program per user.
//
// The first instance holds an exclusive lock on "Zelmar.lock" in the user's
// runtime folder ($XDG_RUNTIME_DIR, or a private folder under the temp
// folder) and listens on the local socket "Zelmar" next to it. A second start
// finds the lock taken, asks the first instance through the socket to show
// its window, and ends. The lock belongs to the open file, so the kernel
// drops it when an instance dies: a crash never blocks the next start.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zelmar {

class SingleInstance {
public:
    enum class Result { First, AnotherRuns, Failed };

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock. When another instance runs, it is asked to show its
    // window. onShowRequest runs on a listener thread whenever a later start
    // asks this instance to show itself.
    Result Acquire(std::function<void()> onShowRequest);

    // The folder holding the lock and the socket: $XDG_RUNTIME_DIR when it
    // is private to this user, else a private folder under the temp folder.
    static std::string RuntimeFolder();

    // Why Acquire failed.
    const std::string& problem() const { return problem_; }

    // Stops listening, removes the socket and drops the lock (the destructor
    // does this too); for a process about to end without its destructors.
    void Release();

private:
    void Listen();

    int lockFd_ = -1;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::string socketPath_;
    std::string problem_;
    std::function<void()> onShow_;
    std::thread listener_;
};

// FolderLock: one Zelmar per settings folder. An exclusive lock on the
// folder itself (no file is added to it); the kernel drops it when the
// process ends, however it ends.
class FolderLock {
public:
    enum class Result { Taken, Busy, Failed };

    FolderLock() = default;
    ~FolderLock() { Release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    Result Acquire(const std::string& folder);
    void Release();
    const std::string& problem() const { return problem_; }

private:
    int fd_ = -1;
    std::string problem_;
};

}  // namespace zelmar
