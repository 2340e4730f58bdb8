#include "app/publish/ftp_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <algorithm>
#include <vector>
#include "net/default_timeout.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

using Clock = TimeoutSocket::Clock;

// Leading decimal digits of a line as a number; -1 when it has none.
long LeadingNumber(const std::string& line) {
    long n = -1;
    for (std::size_t i = 0; i < line.size() && i < 9; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9') break;
        n = (n < 0 ? 0 : n * 10) + (c - '0');
    }
    return n;
}

}  // namespace

// ---------------------------------------------------------------- replies and logon table

std::optional<PassiveAddress> ParsePassiveReply(const std::string& reply) {
    // "227 Entering Passive Mode (127,0,0,1,195,80)."
    const auto open = reply.find('(');
    const auto close = reply.find(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    const std::string inner = reply.substr(open + 1, close - open - 1);
    int numbers[6];
    std::size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        std::size_t end = inner.find(',', pos);
        if (i == 5) {
            if (end != std::string::npos) return std::nullopt;
            end = inner.size();
        } else if (end == std::string::npos) {
            return std::nullopt;
        }
        std::string part = inner.substr(pos, end - pos);
        while (!part.empty() && part.front() == ' ') part.erase(0, 1);
        while (!part.empty() && part.back() == ' ') part.pop_back();
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        numbers[i] = std::stoi(part);
        if (numbers[i] > 255) return std::nullopt;
        pos = end + 1;
    }
    PassiveAddress a;
    a.host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
             "." + std::to_string(numbers[3]);
    a.port = numbers[4] * 256 + numbers[5];
    return a;
}

// Next-step values: a step number, kLogonDone or kLogonFail. Code -1 ends a
// sequence early (never reached: every path leads to done or fail first).
const std::array<LogonSequence, kLogonTypes> kLogonSequences = {{
    // 0 None
    {{{0, kLogonDone, 2}, {1, kLogonDone, 3}, {2, kLogonDone, kLogonFail}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}},
    // 1 SITE hostname: a completion reply to SITE means the firewall did not
    // take the host, so only an intermediate reply goes on.
    {{{3, 3, 2}, {4, 3, kLogonFail}, {5, kLogonFail, 4}, {0, kLogonDone, 5}, {1, kLogonDone, 6},
      {2, kLogonDone, kLogonFail}}},
    // 2 USER after logon
    {{{3, 3, 2}, {4, 3, kLogonFail}, {6, kLogonDone, 4}, {1, kLogonDone, 5}, {2, kLogonDone, kLogonFail},
      {-1, 0, 0}}},
    // 3 Proxy OPEN
    {{{7, 2, 2}, {0, kLogonDone, 3}, {1, kLogonDone, 4}, {2, kLogonDone, kLogonFail}, {-1, 0, 0}, {-1, 0, 0}}},
    // 4 Transparent
    {{{3, 3, 2}, {4, 3, kLogonFail}, {0, kLogonDone, 4}, {1, kLogonDone, 5}, {2, kLogonDone, kLogonFail},
      {-1, 0, 0}}},
    // 5 USER with no logon
    {{{6, kLogonDone, 2}, {1, kLogonDone, 3}, {2, kLogonDone, kLogonFail}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}},
    // 6 USER FireID@Remotehost
    {{{8, 3, 2}, {4, 3, kLogonFail}, {0, kLogonDone, 4}, {1, kLogonDone, 5}, {2, kLogonDone, kLogonFail},
      {-1, 0, 0}}},
    // 7 USER RemoteID@remoteHost fireID: the combined USER must ask for a
    // password; a completion reply means the firewall logged someone else on.
    {{{9, kLogonFail, 2}, {1, kLogonDone, 3}, {2, kLogonDone, kLogonFail}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}},
    // 8 USER remoteID@fireID@remoteHost
    {{{10, kLogonDone, 2}, {11, kLogonDone, 3}, {2, kLogonDone, kLogonFail}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}},
}};

std::string LogonCommandLine(int code, const LogonParameters& p) {
    const std::string host = p.port == 21 ? p.host : p.host + ":" + std::to_string(p.port);
    switch (code) {
        case 0: return "USER " + p.user;
        case 1: return "PASS " + p.password;
        case 2: return "ACCT " + p.account;
        case 3: return "USER " + p.firewallUser;
        case 4: return "PASS " + p.firewallPassword;
        case 5: return "SITE " + host;
        case 6: return "USER " + p.user + "@" + host;
        case 7: return "OPEN " + host;
        case 8: return "USER " + p.firewallUser + "@" + host;
        case 9: return "USER " + p.user + "@" + host + " " + p.firewallUser;
        case 10: return "USER " + p.user + "@" + p.firewallUser + "@" + host;
        case 11: return "PASS " + p.password + "@" + p.firewallPassword;
        default: return "";
    }
}

int ReplyClassOf(const std::string& line) {
    if (line.size() < 3) return 0;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return 0;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return 0;
    const int c = line[0] - '0';
    return c >= 1 && c <= 5 ? c : 0;
}

std::string MaskReplyLine(std::string line) {
    for (char& ch : line)
        if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7F) ch = '?';
    return line;
}

std::string MaskSecrets(std::string line, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.size() < 3) continue;
        for (std::size_t at = line.find(secret); at != std::string::npos; at = line.find(secret, at + 8))
            line.replace(at, secret.size(), "********");
    }
    return line;
}

bool FtpReplyAssembler::Add(const std::string& line) {
    if (code_ == -2) {
        if (line.size() < 4 || line[3] != '-') return true;
        code_ = LeadingNumber(line);
        return false;
    }
    return line.size() > 3 && line[3] == ' ' && code_ >= 0 && LeadingNumber(line) == code_;
}

// ---------------------------------------------------------------- client

FtpClient::FtpClient(int timeoutSeconds) : timeoutSeconds_(TimeoutOrDefault(timeoutSeconds)) {}

FtpClient::~FtpClient() { CloseControlChannel(); }

bool FtpClient::LocalFailure() {
    lastReply_.clear();
    return false;
}

bool FtpClient::OpenControlChannel(const std::string& host, int port) {
    lastReply_.clear();
    connectProblem_.clear();
    CloseControlChannel();
    TimeoutSocket socket(timeoutSeconds_);
    if (!socket.Connect(host, port)) {
        connectProblem_ = Text<Msg::FtpCannotConnect>(host, port, socket.connectProblem());
        return false;
    }
    control_.emplace(std::move(socket));
    return true;
}

void FtpClient::CloseControlChannel() {
    control_.reset();
    reader_.Clear();
}

bool FtpClient::WriteCommandLine(const std::string& line) {
    lastReply_.clear();
    if (!control_) return false;
    // A line break inside the text (CR LF, a bare LF or a bare CR, which
    // some servers also take as a line end) would smuggle a second command
    // to the server, and a NUL cuts the line short on others: refuse the
    // line rather than send it.
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    const std::string wire = line + "\r\n";
    if (control_->SendAll(wire.data(), wire.size())) return true;
    CloseControlChannel();
    return false;
}

bool FtpClient::ReadFtpLine(Clock::time_point deadline) {
    lastReply_.clear();
    // An empty line is no reply of any class, whatever came before it.
    replyClass_ = 0;
    if (!control_) return false;
    std::string line;
    if (reader_.ReadLine(*control_, deadline, line) != ReplyReader::Status::Line) {
        // Closed, broken or timed out. A late reply could still arrive and
        // would then be read as the answer to the next command: the
        // conversation is over.
        CloseControlChannel();
        return LocalFailure();
    }
    lastReply_ = MaskSecrets(MaskReplyLine(std::move(line)), secrets_);
    replyClass_ = ReplyClassOf(lastReply_);
    return true;
}

bool FtpClient::ReadFtpReply() {
    // One deadline for the whole reply: a server that drips lines (or bytes)
    // or floods them cannot stretch it beyond the limit.
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds_);
    FtpReplyAssembler reply;
    // Each line read either completes the reply or is followed by another
    // read; the reader ends at the deadline, and the count guards the rest.
    for (long lines = 0; lines < 100000000L; ++lines) {
        if (!ReadFtpLine(deadline)) return false;
        if (reply.Add(lastReply_)) return true;
    }
    CloseControlChannel();
    return LocalFailure();
}

bool FtpClient::Command(const std::string& text) {
    if (!text.empty() && !WriteCommandLine(text)) return false;
    if (!ReadFtpReply()) return false;
    return replyClass_ == 2;
}

bool FtpClient::LogOn(const LogonParameters& p) {
    if (p.logonType < 0 || p.logonType >= kLogonTypes) return false;
    const bool direct = p.logonType == 0;
    if (!OpenControlChannel(direct ? p.host : p.firewallHost, direct ? p.port : p.firewallPort)) return false;
    if (!Command("")) return false;  // the greeting

    // Longest first, so that "pw@firepw" is masked whole before its parts.
    secrets_ = {p.password + "@" + p.firewallPassword, p.password, p.firewallPassword};
    std::sort(secrets_.begin(), secrets_.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    const LogonSequence& sequence = kLogonSequences[static_cast<std::size_t>(p.logonType)];
    int step = 1;
    for (int guard = 0; guard < kMaxLogonSteps; ++guard) {
        const LogonStep& s = sequence[static_cast<std::size_t>(step - 1)];
        if (s.code < 0) return LocalFailure();
        if (!WriteCommandLine(LogonCommandLine(s.code, p))) return false;
        if (!ReadFtpReply()) return false;
        int next;
        if (replyClass_ == 2)
            next = s.onCompletion;
        else if (replyClass_ == 3)
            next = s.onIntermediate;
        else
            return false;  // the server's refusal stays in lastReply
        if (next == kLogonDone) return true;
        if (next == kLogonFail) return LocalFailure();
        if (next < 1 || next > kMaxLogonSteps) return LocalFailure();
        step = next;
    }
    return LocalFailure();
}

bool FtpClient::TransferFile(const std::string& remoteName, const std::string& localPath, bool passive,
                             bool download) {
    const int fd = download ? ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                            : ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return LocalFailure();
    struct FileCloser {
        int fd;
        ~FileCloser() { ::close(fd); }
    } closer{fd};

    if (!control_) return LocalFailure();
    if (!Command("TYPE I")) return false;

    std::optional<TimeoutSocket> listener;
    int dataPort = 0;
    if (passive) {
        if (!Command("PASV")) return false;
        const auto address = ParsePassiveReply(lastReply_);
        if (!address) return false;
        // The data connection goes to the server we are already talking to,
        // not to the address in the reply: a server behind NAT often names
        // its private address there, and a hostile one could name any host.
        dataPort = address->port;
    } else {
        lastReply_.clear();
        const std::string local = control_->LocalAddress();
        if (local.empty()) return false;
        listener.emplace(timeoutSeconds_);
        // Listen where the server reaches us: the control connection's own
        // local address, the one PORT announces.
        if (!listener->Listen(local, 5)) return false;
        const int port = listener->LocalPort();
        if (port <= 0) return false;
        std::string numbers = local;
        for (char& c : numbers)
            if (c == '.') c = ',';
        if (!Command("PORT " + numbers + "," + std::to_string(port / 256) + "," + std::to_string(port % 256)))
            return false;
    }

    if (!WriteCommandLine((download ? "RETR " : "STOR ") + remoteName)) return false;

    TimeoutSocket data(timeoutSeconds_);
    if (passive) {
        const std::string peer = control_->PeerAddress();
        if (peer.empty()) return LocalFailure();
        // Its outcome is checked once the server has accepted the command.
        data.StartConnect(peer, dataPort);
    }

    if (!ReadFtpReply()) return false;
    if (replyClass_ != 1) return false;  // e.g. "550 Permission denied."

    if (passive) {
        if (!data.FinishConnect()) return LocalFailure();
    } else {
        auto accepted = listener->Accept();
        listener.reset();
        if (!accepted) return LocalFailure();
        // Only the server may connect back: anyone else on the network
        // could otherwise take (or feed) the page.
        if (accepted->PeerAddress() != control_->PeerAddress()) {
            accepted->Abort();
            return LocalFailure();
        }
        data = std::move(*accepted);
    }

    if (!CopyData(data, fd, download)) {
        data.Abort();
        return LocalFailure();
    }
    data.Close();
    return Command("");
}

bool FtpClient::CopyData(TimeoutSocket& data, int fd, bool download) {
    // One large buffer: the page's bytes go out in as few system calls as the
    // socket allows. Each wait on the socket is bounded by the time limit;
    // the length of the transfer is the length of the file.
    std::vector<char> buffer(kDataBufferSize);
    for (long pass = 0; pass < 100000000L; ++pass) {
        if (download) {
            const long n = data.Receive(buffer.data(), buffer.size());
            if (n == 0) return true;
            // A broken or silent connection leaves a partial file: that is a
            // failure, not the end of the file.
            if (n < 0) return false;
            std::size_t written = 0;
            while (written < static_cast<std::size_t>(n)) {
                const ssize_t w = ::write(fd, buffer.data() + written, static_cast<std::size_t>(n) - written);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return false;
                written += static_cast<std::size_t>(w);
            }
        } else {
            ssize_t n;
            do n = ::read(fd, buffer.data(), buffer.size());
            while (n < 0 && errno == EINTR);
            if (n < 0) return false;
            if (n == 0) return true;
            // When the socket takes only part of the chunk, the rest goes in
            // the next sends (each waits for room within the limit). Closing
            // the data connection after a failed send would tell the server
            // the file ended there, and it would confirm a truncated page:
            // report the failure instead.
            if (!data.SendAll(buffer.data(), static_cast<std::size_t>(n))) return false;
        }
    }
    return false;
}

void FtpClient::LogOff() {
    if (control_) WriteCommandLine("QUIT");
    CloseControlChannel();
}

TransferResult FtpClient::Result(bool ok, const char* step) const {
    TransferResult result;
    result.ok = ok;
    result.step = step;
    if (ReplyClassOf(lastReply_) != 0) {
        result.code = lastReply_.substr(0, lastReply_.find(' '));
        result.serverReply = BoundedReply(lastReply_);
    }
    return result;
}

}  // namespace zelmar
