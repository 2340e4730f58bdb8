// Progress accounting and the abort question for long operations.
//
// Sends, receives and waits take a ProgressMonitor* that may be null; with
// no monitor nothing can abort. The abort question is asked at each
// heartbeat of a wait and between chunks of a transfer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace zelmar::mail {

class ProgressMonitor {
public:
    using AbortQuery = std::function<bool()>;
    using ProgressReport = std::function<void(std::uint64_t done, std::uint64_t total)>;

    ProgressMonitor() = default;
    explicit ProgressMonitor(AbortQuery query) : query_(std::move(query)) {}

    void setAbortQuery(AbortQuery q) { query_ = std::move(q); }
    void setProgressReport(ProgressReport r) { report_ = std::move(r); }

    // Asks for cancellation from another thread.
    void requestAbort() { abortRequested_.store(true); }

    // True once an abort was requested or the query answered yes; the
    // answer sticks so that every level of a nested operation sees it.
    bool abortCheck();
    bool aborted() const { return aborted_; }

    void setTotal(std::uint64_t total);
    void consume(std::uint64_t amount);
    std::uint64_t total() const { return total_; }
    std::uint64_t done() const { return done_; }

private:
    AbortQuery query_;
    ProgressReport report_;
    std::atomic<bool> abortRequested_{false};
    bool aborted_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
};

// The abort question with a monitor that may be absent.
inline bool abortRequested(ProgressMonitor* pm) { return pm && pm->abortCheck(); }

}  // namespace zelmar::mail
