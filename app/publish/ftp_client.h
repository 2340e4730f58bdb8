// A small blocking FTP client: it puts the status page on the web server.
//
// It opens the control connection (to the server, or to an FTP proxy or
// firewall), logs on with one of nine logon sequences, sends single commands
// and reads their replies, stores or retrieves one file over a passive or
// active data connection, and logs off. It keeps the last reply line so that
// the caller can report what the server said; it logs nothing itself.
//
// Every wait is bounded by the time limit given at construction: connecting
// (control and data), each complete control reply, accepting the server's
// active-mode connection, and each send and receive on any connection. A
// server that stops answering therefore ends the operation after the limit
// instead of holding the publishing worker (and with it every later refresh)
// forever. Control replies are read through net/reply_reader, which checks
// the one deadline of the whole reply before every receive, so a server that
// floods continuation lines (or drips them in) is cut off at the limit too.
// A time-out is a local failure: lastReply() is empty afterwards.
//
// lastReply() after a failure: the server's refusal (a 530 or 550 line) when
// the server refused; empty after a local failure (no connection, time-out,
// broken connection, local file error, a logon sequence that ends in "fail").
//
// One object per publishing run, used by one thread.
#pragma once

#include "net/reply_reader.h"
#include "net/transfer_result.h"
#include "net/timeout_socket.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

// The data host and port of a "227" reply, from the text between its first
// "(" and first ")": h1,h2,h3,h4,p1,p2. Empty when the parentheses are
// missing or the numbers are not six bytes.
struct PassiveAddress {
    std::string host;  // "h1.h2.h3.h4" as the server wrote it
    int port = 0;      // p1 * 256 + p2
};
std::optional<PassiveAddress> ParsePassiveReply(const std::string& reply);

// The logon sequences: per type, up to six steps of (command code, next step
// on a 2xx reply, next step on a 3xx reply). Steps count from 1.
inline constexpr int kLogonDone = 100;
inline constexpr int kLogonFail = 101;
struct LogonStep {
    int code;
    int onCompletion;    // next step after a 2xx reply
    int onIntermediate;  // next step after a 3xx reply
};
inline constexpr int kLogonTypes = 9;
inline constexpr int kMaxLogonSteps = 6;
using LogonSequence = std::array<LogonStep, kMaxLogonSteps>;  // code -1 ends it
extern const std::array<LogonSequence, kLogonTypes> kLogonSequences;

// What the logon commands are made of.
struct LogonParameters {
    std::string host;  // the FTP server
    int port = 21;
    std::string user, password, account;
    std::string firewallHost;
    std::string firewallUser, firewallPassword;
    int firewallPort = 21;
    int logonType = 0;
};

// The command line for one logon command code (0..11); "host" in the texts
// is the server name followed by ":port" when the port is not 21.
std::string LogonCommandLine(int code, const LogonParameters& p);

// The class of a reply line: its first digit (1..5) when the line starts
// with a three-digit reply code followed by a space, a hyphen or nothing;
// 0 for anything else (an empty line, text, a lone "2"), which is no reply
// of any class.
int ReplyClassOf(const std::string& line);

// A received line as the client keeps it: control bytes (terminal escapes,
// a stray CR, NUL) are masked with "?", because the reply is shown and
// logged.
std::string MaskReplyLine(std::string line);
// The line with every occurrence of each secret (three characters or more:
// shorter ones would hide ordinary words) replaced by "********".
std::string MaskSecrets(std::string line, const std::vector<std::string>& secrets);

// The multi-line rule of one reply: the first line opens a multi-line reply
// when its fourth character is "-"; it then ends only at a line longer than
// three characters that has a space as its fourth character and starts with
// the same number. Add takes each line in turn; true when the reply is
// complete with that line.
class FtpReplyAssembler {
public:
    bool Add(const std::string& line);
    void Reset() { code_ = -2; }

private:
    long code_ = -2;  // -2: no line yet; otherwise the opening line's number
};

class FtpClient {
public:
    // The control connection's line buffer.
    static constexpr std::size_t kBufferSize = 4096;
    // The data connection moves this much per system call.
    static constexpr std::size_t kDataBufferSize = 64 * 1024;

    explicit FtpClient(int timeoutSeconds);
    // Closes the control connection if one is open (without "QUIT").
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Connects (to the server for type 0, else to the firewall), reads the
    // greeting and walks the type's logon sequence. True when logged on.
    bool LogOn(const LogonParameters& p);

    // Sends one command (an empty text sends nothing) and reads the reply;
    // true only for a completion (2xx) reply.
    bool Command(const std::string& text);

    // Stores (download false) or retrieves one file in binary mode over a
    // passive or active data connection. True when the server confirmed it.
    bool TransferFile(const std::string& remoteName, const std::string& localPath, bool passive, bool download);

    // Sends "QUIT" without waiting for the reply and closes the connection.
    void LogOff();

    const std::string& lastReply() const { return lastReply_; }
    // The outcome of the step just done, with ok as it reported: the code
    // and text of the last reply (none after a local failure).
    TransferResult Result(bool ok, const char* step) const;
    // After a failed connect: which host and port, and why ("Unable to
    // connect to ftp.example.org port 21: Connection refused"); empty
    // otherwise.
    const std::string& connectProblem() const { return connectProblem_; }
    int replyClass() const { return replyClass_; }
    bool connected() const { return control_.has_value(); }

private:
    bool OpenControlChannel(const std::string& host, int port);
    void CloseControlChannel();
    bool WriteCommandLine(const std::string& line);
    bool ReadFtpReply();
    bool ReadFtpLine(TimeoutSocket::Clock::time_point deadline);
    bool CopyData(TimeoutSocket& data, int fd, bool download);
    bool LocalFailure();

    int timeoutSeconds_;
    std::string lastReply_;
    // The passwords of the running logon: a server that echoes one in its
    // reply ("530 Login incorrect PASS yourpw") must not put it into the
    // status line and the log.
    std::vector<std::string> secrets_;
    std::string connectProblem_;
    int replyClass_ = 0;
    std::optional<TimeoutSocket> control_;
    // Lines received on the control connection and not yet consumed.
    ReplyReader reader_{kBufferSize};
};

}  // namespace zelmar
