// StatusMessage: one thing the program tells the user, carried as a value
// from where it is raised to the display and the log, so that nobody has to
// work out its kind again from its text.
#pragma once

#include <string>

namespace zelmar {

enum class StatusKind {
    // The program's own message: code "P" + five digits, or "P" alone.
    Program,
    // A server's numbered reply as a channel's client keeps it:
    // code and server text.
    ServerReply,
    // No reply at all (nothing that starts with a number): shown as the
    // connection failure text.
    ConnectionFailure,
};

struct StatusMessage {
    StatusKind kind = StatusKind::Program;
    // "P10005", "P", a server's reply code such as "530", or empty.
    std::string code;
    std::string text;

    // A program message: code "P10004" (or "P") and its text.
    static StatusMessage Program(std::string code, std::string text) {
        return {StatusKind::Program, std::move(code), std::move(text)};
    }
    // A line in the message form ("P10002 Successfully changed folder.",
    // "530 Login incorrect.", or what a failed connection left), read once
    // where it enters the program: a reply a channel's client kept, or a line
    // from a part of the program that still speaks in lines.
    static StatusMessage FromLine(const std::string& line);

    // The message form: the code, one space and the text (the text alone
    // when there is no code).
    std::string Line() const { return code.empty() ? text : code + " " + text; }
    // What the user sees and the log gets (the online notice's addresses
    // are added by the display step).
    std::string DisplayText() const;
    bool IsOnlineNotice() const;

    friend bool operator==(const StatusMessage&, const StatusMessage&) = default;
};

// "P10005 System Online:   " (three spaces at the end).
StatusMessage OnlineNotice();
// "P10006 System Offline.": the exit's offline publication has ended.
StatusMessage OfflineNotice();

}  // namespace zelmar
