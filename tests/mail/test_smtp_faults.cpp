// Faults a real server will not make on request, played by a scripted
// server on loopback: each row is a script of what the server sends and
// expects, and what the session must report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/timeout_socket.h"
#include "tests/mail/smtp_test_support.h"

namespace zelmar::test {
namespace {

using mail::Logger;
using mail::SendOutcome;
using mail::SmtpConnImpl;
using Clock = std::chrono::steady_clock;

struct Step {
    enum Kind { Send, Expect, ReadData, Stall, Drop, Pause } kind;
    std::string text;
    std::size_t segment = 0;  // Send: bytes per TCP segment (0: all at once)
};
Step S(std::string t, std::size_t seg = 0) { return {Step::Send, std::move(t), seg}; }
Step E(std::string prefix) { return {Step::Expect, std::move(prefix)}; }
Step D() { return {Step::ReadData, ""}; }
Step Stall() { return {Step::Stall, ""}; }
Step Drop() { return {Step::Drop, ""}; }
Step Pause(std::size_t ms) { return {Step::Pause, "", ms}; }

// Plays one script for one connection, then answers QUIT until the client
// leaves. Records the first mismatch.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
        EXPECT_TRUE(listener_.Listen("127.0.0.1", 4));
        port_ = listener_.LocalPort();
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_; }
    std::string mismatch() {
        std::lock_guard lock(m_);
        return mismatch_;
    }
    std::string received() {
        std::lock_guard lock(m_);
        return received_;
    }

private:
    bool ReadLine(TimeoutSocket& s, std::string& line) {
        for (int i = 0; i < 100000 && !stop_; ++i) {
            const auto at = buf_.find("\r\n");
            if (at != std::string::npos) {
                line = buf_.substr(0, at + 2);
                buf_.erase(0, at + 2);
                return true;
            }
            char tmp[4096];
            const long n = s.ReceiveUntil(tmp, sizeof tmp, Clock::now() + std::chrono::milliseconds(100));
            if (n == 0) return false;
            if (n > 0) {
                buf_.append(tmp, static_cast<std::size_t>(n));
                std::lock_guard lock(m_);
                received_.append(tmp, static_cast<std::size_t>(n));
            }
        }
        return false;
    }
    void Fail(const std::string& why) {
        std::lock_guard lock(m_);
        if (mismatch_.empty()) mismatch_ = why;
    }
    void Run() {
        std::optional<TimeoutSocket> conn;
        for (int i = 0; i < 100 && !conn && !stop_; ++i) conn = listener_.Accept();
        if (!conn) return;
        std::string line;
        for (const Step& step : script_) {
            if (stop_) return;
            switch (step.kind) {
                case Step::Send: {
                    const std::size_t seg = step.segment ? step.segment : step.text.size();
                    for (std::size_t at = 0; at < step.text.size(); at += seg) {
                        conn->SendAll(step.text.data() + at, std::min(seg, step.text.size() - at));
                        if (step.segment) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    break;
                }
                case Step::Expect:
                    if (!ReadLine(*conn, line)) return Fail("connection ended before " + step.text);
                    if (line.compare(0, step.text.size(), step.text) != 0)
                        return Fail("expected " + step.text + ", got " + line);
                    break;
                case Step::ReadData:
                    for (int i = 0; i < 100000; ++i) {
                        if (!ReadLine(*conn, line)) return Fail("connection ended in data");
                        if (line == ".\r\n") break;
                    }
                    break;
                case Step::Stall:
                    // Say nothing until the client gives up.
                    for (int i = 0; i < 600 && !stop_; ++i) {
                        char tmp[512];
                        if (conn->ReceiveUntil(tmp, sizeof tmp, Clock::now() + std::chrono::milliseconds(50)) == 0)
                            return;
                    }
                    return;
                case Step::Drop:
                    conn->Close();
                    return;
                case Step::Pause:
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.segment));
                    break;
            }
        }
        for (int i = 0; i < 50 && ReadLine(*conn, line); ++i) {
            if (line.compare(0, 4, "QUIT") == 0) {
                conn->SendAll("221 bye\r\n", 9);
                return;
            }
            conn->SendAll("250 ok\r\n", 8);
        }
    }

    std::vector<Step> script_;
    TimeoutSocket listener_{5};
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::string mismatch_, received_, buf_;
};

const std::vector<Step> kGreetEhlo = {S("220 fake ESMTP\r\n"), E("EHLO "), S("250-fake\r\n250 8BITMIME\r\n")};
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::vector<Step> kTransaction = {E("MAIL FROM:<sender@example.test>"), S("250 ok\r\n"),
                                        E("RCPT TO:<alice@example.test>"),    S("250 ok\r\n"),
                                        E("RCPT TO:<bob@example.test>"),      S("250 ok\r\n"),
                                        E("RCPT TO:<carol@example.test>"),    S("250 ok\r\n"),
                                        E("DATA"),                            S("354 go\r\n"),
                                        D(),                                  S("250 queued\r\n")};

struct FaultRow {
    const char* name;
    std::vector<Step> script;
    bool allOrNone;
    bool connects;
    bool sends;  // only when it connects
    bool timedOut;
    bool serverLimit;
    int accepted;
    std::vector<std::string> refused;
    std::vector<const char*> logHas;
    std::vector<const char*> logLacks;
    bool dsn = false;  // set the DSN options RET=HDRS ENVID=env1 NOTIFY=SUCCESS,FAILURE
    bool startTls = false;
    bool login = false;  // log in as user / pw
    mail::SmtpFailure failure = mail::SmtpFailure::None;
};

void PrintTo(const FaultRow& r, std::ostream* os) { *os << r.name; }

std::vector<FaultRow> Rows() {
    return {
        {"BareFinal250EndsEhlo",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250-AUTH=LOGIN\r\n250\r\n")} + kTransaction,
         false, true, true, false, false, 3, {}, {"CONNECTED to ESMTP server"},
         {"EHLO failed, sending HELO...", "login_method: LOGIN"}},
        {"ReplySplitAcrossSegments",
         std::vector<Step>{S("220 fake ESMTP ready\r\n", 3), E("EHLO "), S("250-fake\r\n250-DSN\r\n250 SIZE 1000\r\n", 4)} +
             std::vector<Step>{E("MAIL FROM:<sender@example.test>"), S("250 sender ok\r\n", 2),
                               E("RCPT TO:<alice@example.test>"), S("250 ok\r\n", 1),
                               E("RCPT TO:<bob@example.test>"), S("250 ok\r\n", 5),
                               E("RCPT TO:<carol@example.test>"), S("250 ok\r\n"), E("DATA"), S("354 go\r\n", 2), D(),
                               S("250 queued as 1\r\n", 3)},
         false, true, true, false, false, 3, {}, {"Mail sent to 3 recipients"}, {}},
        {"StallAfterDataFailsTimedOut", kGreetEhlo + std::vector<Step>{E("MAIL"), S("250 ok\r\n"), E("RCPT"), S("250 ok\r\n"),
                                                                  E("RCPT"), S("250 ok\r\n"), E("RCPT"), S("250 ok\r\n"),
                                                                  E("DATA"), S("354 go\r\n"), D(), Stall()},
         false, true, false, true, false, 3, {}, {"Failed when sending end-of-body", "Timed out", "Sent DATA terminator"},
         {"Mail sent"}},
        {"Maximum421ClosesAndRaisesLimit",
         kGreetEhlo + std::vector<Step>{E("MAIL"), S("421 4.7.0 Maximum allowed messages per connection\r\n")}, false,
         true, false, false, true, 0, {}, {"Failed when sending MAIL FROM:<sender@example.test>"}, {}},
        {"Rcpt251CountsAsRefused",
         kGreetEhlo + std::vector<Step>{E("MAIL"), S("250 ok\r\n"), E("RCPT TO:<alice"), S("250 ok\r\n"),
                                        E("RCPT TO:<bob"), S("251 User not local; will forward\r\n"),
                                        E("RCPT TO:<carol"), S("250 ok\r\n"), E("DATA"), S("354 go\r\n"), D(),
                                        S("250 ok\r\n")},
         false, true, true, false, false, 2, {"bob@example.test"},
         {"Warning: failed to send to 1 recipient(s), continuing to send to 2 recipient(s)", "bad_address"}, {}},
        {"RefusedWithAllOrNoneSendsNoData",
         kGreetEhlo + std::vector<Step>{E("MAIL"), S("250 ok\r\n"), E("RCPT TO:<alice"), S("250 ok\r\n"),
                                        E("RCPT TO:<bob"), S("550 no such user\r\n"), E("RCPT TO:<carol"),
                                        S("250 ok\r\n"), E("QUIT"), S("221 bye\r\n")},
         true, true, false, false, false, 2, {"bob@example.test"}, {"One or more RCPT TO commands failed."}, {}},
        {"DropMidReplyFailsTheConnect",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250-AU"), Drop()}, false, false, false, false,
         false, 0, {}, {"Failed to send Hello"}, {}},
        {"PartialLineAtTimeoutIsNoReply", std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250 2.7"), Stall()}, false,
         false, false, true, false, 0, {}, {"EHLO failed, sending HELO..."}, {}},
        {"DsnListedAddsItsParameters",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250-DSN\r\n250 8BITMIME\r\n"),
                           E("MAIL FROM:<sender@example.test> RET=HDRS ENVID=env1\r\n"), S("250 ok\r\n"),
                           E("RCPT TO:<alice@example.test> NOTIFY=SUCCESS,FAILURE\r\n"), S("250 ok\r\n"),
                           E("RCPT TO:<bob@example.test> NOTIFY=SUCCESS,FAILURE\r\n"), S("250 ok\r\n"),
                           E("RCPT TO:<carol@example.test> NOTIFY=SUCCESS,FAILURE\r\n"), S("250 ok\r\n"), E("DATA"),
                           S("354 go\r\n"), D(), S("250 ok\r\n")},
         false, true, true, false, false, 3, {}, {"Mail sent to 3 recipients"}, {}, true},
        {"DsnNotListedSendsNoParameters", kGreetEhlo + kTransaction, false, true, true, false, false, 3, {}, {},
         {"RET="}, true},
        {"EhloRefusedFallsBackToHelo",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO client.test"), S("500 unknown command\r\n"),
                           E("HELO client.test"), S("250 hello\r\n")} + kTransaction,
         false, true, true, false, false, 3, {}, {"EHLO failed, sending HELO...", "CONNECTED to SMTP server"}, {}},
        {"HeloRefusedTriesTheServerName",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO client.test"), S("500 unknown command\r\n"),
                           E("HELO client.test"), S("501 bad name\r\n"), E("HELO 127.0.0.1"),
                           S("250 hello\r\n")} + kTransaction,
         false, true, true, false, false, 3, {}, {"Failed to get response to Hello (HELO)", "CONNECTED to SMTP server"},
         {}},
        {"DropAfterMailFromClosesTheSession", kGreetEhlo + std::vector<Step>{E("MAIL"), Drop()}, false, true, false,
         false, false, 0, {}, {"Failed when sending MAIL FROM:<sender@example.test>"}, {}},
        // STARTTLS comes after EHLO, and only when offered; without it no
        // login and no mail goes out, and the session still ends with QUIT.
        {"StartTlsNotOfferedSendsNothingButQuit",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250 AUTH PLAIN\r\n"), E("QUIT"),
                           S("221 bye\r\n")},
         false, false, false, false, false, 0, {}, {"does not offer STARTTLS"}, {"STARTTLS (1)"}, false, true, true,
         mail::SmtpFailure::StartTlsNotOffered},
        {"StartTlsFollowsEhlo",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO client.test"), S("250-fake\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n"),
                           E("STARTTLS"), S("454 4.7.0 TLS not available\r\n"), E("QUIT"), S("221 bye\r\n")},
         false, false, false, false, false, 0, {}, {"Failed to receive STARTTLS response"}, {}, false, true, true},
        {"FailedLoginEndsWithQuit",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250 AUTH PLAIN\r\n"), E("AUTH PLAIN"),
                           S("535 5.7.8 Authentication failed\r\n"), E("QUIT"), S("221 bye\r\n")},
         false, false, false, false, false, 0, {}, {}, {}, false, false, true},
        // Addresses from the message go on the wire only when they cannot
        // add parameters or end the brackets, and UTF-8 ones only with SMTPUTF8.
        {"Utf8LocalPartNeedsSmtpUtf8", kGreetEhlo + std::vector<Step>{E("QUIT"), S("221 bye\r\n")}, false, true, false,
         false, false, 0, {}, {"does not offer SMTPUTF8"}, {}, false, false, false, mail::SmtpFailure::NeedsSmtpUtf8},
        {"Utf8LocalPartWithSmtpUtf8",
         std::vector<Step>{S("220 fake\r\n"), E("EHLO "), S("250-fake\r\n250 SMTPUTF8\r\n"),
                           E("MAIL FROM:<sender@example.test> SMTPUTF8\r\n"), S("250 ok\r\n"),
                           E("RCPT TO:<j\xC3\xBCrgen@example.test>\r\n"), S("250 ok\r\n"), E("DATA"),
                           S("354 go\r\n"), D(), S("250 ok\r\n")},
         false, true, true, false, false, 1, {}, {"Mail sent to 1 recipient"}, {}},
        {"InjectedParameterIsRefused", kGreetEhlo + std::vector<Step>{E("QUIT"), S("221 bye\r\n")}, false, true, false,
         false, false, 0, {}, {"nothing was sent"}, {}, false, false, false, mail::SmtpFailure::UnsafeAddress},
    };
}

class SmtpFault : public ::testing::TestWithParam<FaultRow> {};

TEST_P(SmtpFault, ReportsWhatHappened) {
    const FaultRow& row = GetParam();
    constexpr int kReadTimeoutMs = 1000;
    ScriptedServer server(row.script);
    Logger log;
    const auto start = Clock::now();
    mail::SmtpFailure failure = mail::SmtpFailure::None;
    {
        SmtpConnImpl session;
        session.setHeloName("client.test");
        session.setAllOrNone(row.allOrNone);
        session.setStartTls(row.startTls);
        if (row.dsn) session.setDsn({"SUCCESS,FAILURE", "env1", "HDRS"});
        bool timedOut = false, aborted = false;
        const std::string user = "user", password = "pw";
        const bool connected =
            session.connectSmtp("127.0.0.1", server.port(), row.login ? &user : nullptr, row.login ? &password : nullptr,
                                "", "", 5, kReadTimeoutMs, nullptr, log, nullptr, timedOut, aborted);
        ASSERT_EQ(connected, row.connects) << LogText(log);
        if (!row.connects) {
            EXPECT_EQ(timedOut, row.timedOut);
        } else {
            mail::RenderedMessage msg = SampleMessage(1);
            const std::string name = row.name;
            if (name.starts_with("Utf8")) msg.to = {"j\xC3\xBCrgen@example.test"}, msg.cc = msg.bcc = {};
            if (name == "InjectedParameterIsRefused") msg.cc = {"carol@example.org> NOTIFY=NEVER ORCPT=rfc822;x"};
            SendOutcome out;
            ScratchDir dir;
            const std::string sentLog = dir / "sent.log";
            const bool sent = session.sendMail(&msg, "sender@example.test", nullptr, sentLog, log, nullptr, out);
            EXPECT_EQ(sent, row.sends) << LogText(log);
            // Only a message the server confirmed is written to the sent-mail log.
            const std::string stuffed = "Hello 1\r\n..leading dot\r\n...two dots\r\n..\r\nend";
            EXPECT_EQ(ReadFile(sentLog), sent ? "--BEGIN SENT EMAIL--\n" + msg.mime.substr(0, msg.mime.find("Hello")) +
                                                    stuffed + "\n--END SENT EMAIL--\n"
                                              : "");
            EXPECT_EQ(out.timedOut, row.timedOut);
            EXPECT_EQ(out.serverLimit, row.serverLimit);
            EXPECT_EQ(out.accepted, row.accepted);
            EXPECT_EQ(out.refused, row.refused);
            if (row.serverLimit) {
                EXPECT_TRUE(session.isClosed());
            }
            if (row.allOrNone) {
                EXPECT_EQ(server.received().find("DATA"), std::string::npos);
            }
        }
        failure = session.failure();
    }
    // A stalled server costs one read timeout per waiting step, never more.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3 * kReadTimeoutMs + 4000));
    const std::string text = LogText(log);
    for (const char* want : row.logHas) EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    for (const char* lack : row.logLacks) EXPECT_EQ(text.find(lack), std::string::npos) << lack << "\n" << text;
    EXPECT_EQ(server.mismatch(), "");
    EXPECT_EQ(static_cast<int>(failure), static_cast<int>(row.failure));
}

INSTANTIATE_TEST_SUITE_P(Table, SmtpFault, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a configured name the session announces a fully qualified name,
// or else the address literal of its end of the connection, never a bare
// host name; the Message-ID carries the same name.
TEST(SmtpHello, FullyQualifiedNameOrAddressLiteral) {
    ScriptedServer server(kGreetEhlo + kTransaction);
    Logger log;
    mail::RenderedMessage msg = SampleMessage(1);
    {
        SmtpConnImpl session;
        bool timedOut = false, aborted = false;
        ASSERT_TRUE(session.connectSmtp("127.0.0.1", server.port(), nullptr, nullptr, "", "", 5, 2000, nullptr, log,
                                        nullptr, timedOut, aborted));
        SendOutcome out;
        ASSERT_TRUE(session.sendMail(&msg, "sender@example.test", nullptr, "", log, nullptr, out)) << LogText(log);
    }
    const std::string received = server.received();
    const std::string name = received.substr(5, received.find("\r\n") - 5);
    const bool literal = name == "[127.0.0.1]";
    const bool qualified = name.find('.') != std::string::npos && name.find_first_of(" []") == std::string::npos &&
                           name.rfind("localhost", 0) != 0;
    EXPECT_TRUE(literal || qualified) << name;
    EXPECT_EQ(msg.messageIdHost, name);
}

// Every reply comes well within the read timeout, but the send as a whole
// passes its deadline: it ends there, not after every step's own wait.
TEST(SmtpDeadline, TheWholeSendEndsAtItsDeadline) {
    std::vector<Step> slow = {S("220 fake\r\n"), E("EHLO "), Pause(500), S("250 fake\r\n")};
    for (const char* cmd : {"MAIL", "RCPT", "RCPT", "RCPT", "DATA"}) slow = slow + std::vector<Step>{E(cmd), Pause(500), S(std::string(cmd) == "DATA" ? "354 go\r\n" : "250 ok\r\n")};
    slow = slow + std::vector<Step>{D(), Pause(500), S("250 ok\r\n")};
    ScriptedServer server(slow);
    Logger log;
    SmtpConnImpl session;
    session.setHeloName("client.test");
    const auto start = Clock::now();
    constexpr auto kDeadline = std::chrono::milliseconds(1800);
    session.setOverallDeadline(start + kDeadline);
    bool timedOut = false, aborted = false;
    ASSERT_TRUE(session.connectSmtp("127.0.0.1", server.port(), nullptr, nullptr, "", "", 5, 1000, nullptr, log, nullptr,
                                    timedOut, aborted));
    mail::RenderedMessage msg = SampleMessage(1);
    SendOutcome out;
    EXPECT_FALSE(session.sendMail(&msg, "sender@example.test", nullptr, "", log, nullptr, out));
    const auto took = Clock::now() - start;
    EXPECT_TRUE(out.timedOut);
    // Seven slow replies take 3.5 s; the deadline ends it at 1.8 s.
    EXPECT_GE(took, kDeadline);
    EXPECT_LT(took, kDeadline + std::chrono::milliseconds(1200));
}

}  // namespace
}  // namespace zelmar::test

namespace zelmar::test {
namespace {

// A relay in front of a real TLS-capable server that misbehaves on the
// wire: it cuts the server's bytes into small TCP segments, answers the
// first STARTTLS sent before any EHLO with 503, or slips a plaintext line in
// behind the server's 220 to STARTTLS (a man in the middle's injection).
struct RelayOptions {
    std::size_t segment = 0;
    bool answer503 = false;
    bool inject = false;
    bool raw = false;  // TLS from the first byte: no command lines to look at
    // Play an HTTP proxy first: read the CONNECT request, answer with this
    // status line (nothing more is relayed unless it is a 200).
    std::string connectAnswer;
};

class Relay {
public:
    Relay(int serverPort, RelayOptions o) : serverPort_(serverPort), o_(o) {
        EXPECT_TRUE(listener_.Listen("127.0.0.1", 4));
        port_ = listener_.LocalPort();
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_; }
    std::string connectRequest() {
        std::lock_guard lock(m_);
        return connectRequest_;
    }

private:
    void Run() {
        std::optional<TimeoutSocket> client;
        for (int i = 0; i < 100 && !client && !stop_; ++i) client = listener_.Accept();
        if (!client) return;
        if (!o_.connectAnswer.empty()) {
            std::string request;
            char c;
            for (int i = 0; i < 4096 && request.find("\r\n\r\n") == std::string::npos; ++i) {
                if (client->ReceiveUntil(&c, 1, Clock::now() + std::chrono::seconds(5)) != 1) return;
                request.push_back(c);
            }
            {
                std::lock_guard lock(m_);
                connectRequest_ = request;
            }
            const std::string answer = o_.connectAnswer + "\r\nProxy-Agent: test\r\n\r\n";
            client->SendAll(answer.data(), answer.size());
            if (o_.connectAnswer.find(" 200 ") == std::string::npos) return;
        }
        TimeoutSocket server(5);
        if (!server.Connect("127.0.0.1", serverPort_)) return;
        std::atomic<bool> injectNext{false};
        std::thread down([&] {
            char buf[16384];
            for (int i = 0; i < 100000 && !stop_; ++i) {
                const long n = server.ReceiveUntil(buf, sizeof buf, Clock::now() + std::chrono::milliseconds(50));
                if (n == 0) break;
                if (n < 0) continue;
                std::string chunk(buf, static_cast<std::size_t>(n));
                if (injectNext.exchange(false) && chunk.compare(0, 3, "220") == 0) chunk += "250 injected\r\n";
                const std::size_t seg = o_.segment ? o_.segment : chunk.size();
                for (std::size_t at = 0; at < chunk.size(); at += seg) {
                    client->SendAll(chunk.data() + at, std::min(seg, chunk.size() - at));
                    if (o_.segment) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            client->Close();
        });
        std::string line;
        bool plain = !o_.raw, sawEhlo = false, answered = false;
        char buf[16384];
        for (int i = 0; i < 100000 && !stop_; ++i) {
            const long n = client->ReceiveUntil(buf, sizeof buf, Clock::now() + std::chrono::milliseconds(50));
            if (n == 0) break;
            if (n < 0) continue;
            if (!plain) {
                server.SendAll(buf, static_cast<std::size_t>(n));
                continue;
            }
            line.append(buf, static_cast<std::size_t>(n));
            for (std::size_t at; plain && (at = line.find("\r\n")) != std::string::npos;) {
                const std::string cmd = line.substr(0, at + 2);
                line.erase(0, at + 2);
                if (cmd.compare(0, 4, "EHLO") == 0) sawEhlo = true;
                if (cmd == "STARTTLS\r\n" && o_.answer503 && !sawEhlo && !answered) {
                    answered = true;
                    client->SendAll("503 5.5.1 Send EHLO first\r\n", 27);
                    continue;
                }
                if (cmd == "STARTTLS\r\n") {
                    injectNext = o_.inject;
                    plain = false;
                }
                server.SendAll(cmd.data(), cmd.size());
            }
            if (!plain && !line.empty()) {
                server.SendAll(line.data(), line.size());
                line.clear();
            }
        }
        server.Close();
        down.join();
    }

    int serverPort_;
    RelayOptions o_;
    std::mutex m_;
    std::string connectRequest_;
    TimeoutSocket listener_{5};
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

struct RelayRow {
    const char* name;
    bool implicitTls;
    RelayOptions options;
    const char* logHas;
    std::size_t discarded;
    const char* logLacks = "";
};

void PrintTo(const RelayRow& r, std::ostream* os) { *os << r.name; }

const RelayRow kRelayRows[] = {
    {"TlsHandshakeSplitIntoSmallSegments", true, {7, false, false, true, ""}, "Secure Channel Established.", 0},
    // A relay that answers a STARTTLS sent before EHLO with 503, as servers
    // do: the session never gets that answer, since its EHLO comes first.
    {"StartTlsOnlyAfterEhlo", false, {0, true, false, false, ""}, "TLS connection established.", 0,
     "Received 503 SMTP Status"},
    {"PlaintextAfterStartTlsIsDropped", false, {0, false, true, false, ""}, "Discarded plaintext received before the TLS handshake",
     14},
};

// The aiosmtpd peer with TLS (implicit or STARTTLS), the login
// user / s3cret:pw, the certificate in dir and the messages kept there.
SmtpPeer::Options TlsPeerOptions(bool implicitTls, const std::string& dir) {
    SmtpPeer::Options o;
    o.login = "user:s3cret:pw";
    o.implicitTls = implicitTls;
    o.startTls = !implicitTls;
    o.certDir = o.outDir = dir;
    return o;
}

class SmtpTlsRelay : public ::testing::TestWithParam<RelayRow> {};

TEST_P(SmtpTlsRelay, MessageArrivesWhole) {
    const RelayRow& row = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(MakeSelfSignedCert(dir.path()));
    SmtpPeer server(TlsPeerOptions(row.implicitTls, dir.path()));
    ASSERT_TRUE(server.ok()) << server.Log();
    const int serverPort = server.port();
    Relay relay(serverPort, row.options);
    Logger log;
    SmtpConnImpl session;
    session.setHeloName("client.test");
    session.setImplicitTls(row.implicitTls);
    session.setStartTls(!row.implicitTls);
    const std::string login = "user", password = "s3cret:pw";
    bool timedOut = false, aborted = false;
    ASSERT_TRUE(session.connectSmtp("127.0.0.1", relay.port(), &login, &password, "", "", 5, 5000, nullptr, log,
                                    nullptr, timedOut, aborted))
        << LogText(log);
    EXPECT_NE(LogText(log).find(row.logHas), std::string::npos) << LogText(log);
    if (*row.logLacks) {
        EXPECT_EQ(LogText(log).find(row.logLacks), std::string::npos) << LogText(log);
    }
    EXPECT_EQ(session.connection().channel().discardedBeforeHandshake(), row.discarded);
    mail::RenderedMessage msg = SampleMessage(1, 40000);
    SendOutcome out;
    const std::size_t recordsBefore = session.connection().channel().recordsSent();
    ASSERT_TRUE(session.sendMail(&msg, "sender@example.test", nullptr, "", log, nullptr, out)) << LogText(log);
    // One record per command (MAIL, three RCPT, DATA, the end of data), and
    // the text of 40000 bytes and more in records of at most 16000 bytes.
    EXPECT_EQ(session.connection().channel().recordsSent() - recordsBefore, 6 + (msg.mime.size() - 2 + 15999) / 16000);
    EXPECT_TRUE(ReadFile(dir / "1.eml") == msg.mime);
}

INSTANTIATE_TEST_SUITE_P(Table, SmtpTlsRelay, ::testing::ValuesIn(kRelayRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelmar::test

namespace zelmar::test {
namespace {

// The TLS channel through an HTTP proxy's CONNECT tunnel: only a 2xx answer
// opens the tunnel.
TEST(TlsChannelProxy, TunnelsOnlyAfterA2xxAnswer) {
    ScratchDir dir;
    ASSERT_TRUE(MakeSelfSignedCert(dir.path()));
    SmtpPeer server(TlsPeerOptions(true, dir.path()));
    ASSERT_TRUE(server.ok()) << server.Log();
    const int serverPort = server.port();
    for (const char* answer : {"HTTP/1.0 200 Connection established", "HTTP/1.0 403 Forbidden"}) {
        const bool open = std::string(answer).find(" 200 ") != std::string::npos;
        Relay proxy(serverPort, RelayOptions{0, false, false, true, answer});
        mail::TlsChannel channel;
        channel.setHost("127.0.0.1");
        channel.setPort(serverPort);
        channel.setProxy("127.0.0.1", proxy.port());
        channel.setConnectTimeout(5);
        Logger log;
        bool timedOut = false, aborted = false;
        ASSERT_EQ(channel.establishChannel(log, timedOut, 5000, 0, nullptr), open) << answer << LogText(log);
        EXPECT_EQ(proxy.connectRequest(), "CONNECT 127.0.0.1:" + std::to_string(serverPort) +
                                              " HTTP/1.0\r\nUser-Agent: Zelmar\r\n\r\n");
        if (!open) {
            EXPECT_EQ(channel.lastError(), mail::TlsChannel::kErrProxy);
            continue;
        }
        std::string line;
        ASSERT_TRUE(channel.readUntilMatch(line, "\r\n", 1000, Clock::now() + std::chrono::seconds(5), log,
                                           nullptr, 0, timedOut, aborted));
        EXPECT_EQ(line.compare(0, 4, "220 "), 0) << line;
        EXPECT_TRUE(channel.shutdownChannel(true, log));
        EXPECT_NE(LogText(log).find("Secure Channel Shutdown Complete."), std::string::npos);
    }
}

}  // namespace
}  // namespace zelmar::test
