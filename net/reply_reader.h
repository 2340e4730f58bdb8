// Reads text lines (reply lines of a line-based protocol such as FTP or SMTP)
// from a TimeoutSocket through a buffer of its own.
//
// Every line is capped: the bytes of a longer line beyond the cap are read
// and dropped, so a hostile peer cannot make the reader hold unbounded text.
// Every wait is bounded by the caller's deadline, and the deadline is checked
// on every pass, not only when the socket has nothing to read: a peer that
// floods lines (or one endless line) ends the read at the deadline just like
// a silent one.
//
// Lines end at LF; a CR right before the LF is dropped as part of the line
// end. Bytes received after a line stay buffered for the next call, so
// pipelined replies are not lost.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "net/timeout_socket.h"

namespace zelmar {

class ReplyReader {
public:
    using Clock = TimeoutSocket::Clock;
    static constexpr std::size_t kDefaultMaxLine = 4096;
    // Bytes asked of the socket per receive.
    static constexpr std::size_t kReceiveSize = 4096;

    enum class Status {
        Line,      // a complete line is in the out text
        Closed,    // the peer closed the connection before a line ended
        TimedOut,  // the deadline passed before a line ended
        Error,     // the socket failed
    };

    explicit ReplyReader(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine < 1 ? 1 : maxLine) {}

    // Reads one line (without its line end) from socket, waiting until the
    // deadline at the latest. A line already buffered is returned at once,
    // even after the deadline.
    Status ReadLine(TimeoutSocket& socket, Clock::time_point deadline, std::string& line);

    // The buffer without a socket: Append what was received, then TakeLine
    // hands out complete lines in order (false when none is complete yet).
    void Append(std::string_view bytes);
    bool TakeLine(std::string& line);

    // Drops everything buffered (for a connection that is closed or whose
    // conversation can no longer be trusted).
    void Clear();

    // Complete lines waiting, and whether a partial line has begun.
    std::size_t linesBuffered() const { return lines_.size(); }
    bool partialLine() const { return !current_.empty() || cut_; }
    std::size_t maxLine() const { return maxLine_; }

private:
    void EndLine();

    std::size_t maxLine_;
    std::deque<std::string> lines_;
    std::string current_;  // the kept part of the line being received
    bool cut_ = false;     // the line being received went past the cap
};

}  // namespace zelmar
