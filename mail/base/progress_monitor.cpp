#include "mail/base/progress_monitor.h"

namespace zelmar::mail {

bool ProgressMonitor::abortCheck() {
    if (aborted_) return true;
    if (abortRequested_.load() || (query_ && query_())) aborted_ = true;
    return aborted_;
}

void ProgressMonitor::setTotal(std::uint64_t total) {
    total_ = total;
    done_ = 0;
}

void ProgressMonitor::consume(std::uint64_t amount) {
    done_ += amount;
    if (total_ && done_ > total_) done_ = total_;
    if (report_) report_(done_, total_);
}

}  // namespace zelmar::mail
