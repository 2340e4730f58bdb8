#include "net/reply_reader.h"

#include <algorithm>

namespace zelmar {

void ReplyReader::EndLine() {
    if (current_.size() > maxLine_) {
        // The look-ahead byte: a CR there is the line end of a line of
        // exactly maxLine bytes; anything else means the line was too long.
        if (cut_ || current_.back() != '\r') cut_ = true;
        current_.resize(maxLine_ + (cut_ ? 0 : 1));
    }
    if (!cut_ && !current_.empty() && current_.back() == '\r') current_.pop_back();
    lines_.push_back(std::move(current_));
    current_.clear();
    cut_ = false;
}

void ReplyReader::Append(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view part = bytes.substr(0, lf);
        // The open line keeps at most maxLine bytes plus one of look-ahead
        // (for a CR right before the LF); the rest is dropped.
        const std::size_t room = maxLine_ + 1 - current_.size();
        current_.append(part.substr(0, std::min(room, part.size())));
        if (part.size() > room) cut_ = true;
        if (lf == std::string_view::npos) break;
        EndLine();
        bytes.remove_prefix(lf + 1);
    }
}

bool ReplyReader::TakeLine(std::string& line) {
    if (lines_.empty()) return false;
    line = std::move(lines_.front());
    lines_.pop_front();
    return true;
}

void ReplyReader::Clear() {
    lines_.clear();
    current_.clear();
    cut_ = false;
}

ReplyReader::Status ReplyReader::ReadLine(TimeoutSocket& socket, Clock::time_point deadline, std::string& line) {
    line.clear();
    char chunk[kReceiveSize];
    // Each pass either hands out a line, receives at least one byte or ends;
    // the pass count only guards against a clock that never moves.
    for (long pass = 0; pass < 100000000L; ++pass) {
        if (TakeLine(line)) return Status::Line;
        // Checked on every pass: a flood never lets the socket run dry.
        if (Clock::now() >= deadline) return Status::TimedOut;
        const long n = socket.ReceiveUntil(chunk, sizeof chunk, deadline);
        if (n == 0) return Status::Closed;
        if (n < 0) return Clock::now() >= deadline ? Status::TimedOut : Status::Error;
        Append(std::string_view(chunk, static_cast<std::size_t>(n)));
    }
    return Status::TimedOut;
}

}  // namespace zelmar
