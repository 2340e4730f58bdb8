// Digest vectors, reply-line rules and the socket layer's small pieces.
#include <cstring>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "mail/mime/content_coding.h"
#include "mail/net/plain_socket.h"
#include "mail/base/logger.h"
#include "mail/net/socket_errors.h"
#include "mail/smtp/hmac_md5.h"
#include "mail/smtp/smtp_conn_impl.h"
#include "net/timeout_socket.h"
#include "tests/support/shell_output.h"

namespace zelmar::test {
namespace {

using namespace zelmar::mail;

std::string Hex(const std::array<std::uint8_t, 16>& d) { return toLowerHex(d.data(), d.size()); }

TEST(Md5, Rfc1321Vectors) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [in, want] : rows) EXPECT_EQ(Hex(Md5::digest(in)), want) << '"' << in << '"';
}

TEST(HmacMd5, Rfc2104And2202Vectors) {
    struct R {
        std::string key, data;
        const char* want;
    };
    const R rows[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    };
    for (const R& r : rows) EXPECT_EQ(HmacMD5::hexMac(r.key, r.data), r.want) << r.data;
}

// Keys around the 64-byte block size (64: used as it is; 65: hashed first)
// against openssl's own HMAC, as CRAM-MD5 uses them with such a password.
TEST(HmacMd5, KeysAroundTheBlockSizeMatchOpenssl) {
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    for (const std::size_t length : {63u, 64u, 65u}) {
        const std::string key = std::string("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_.-").substr(0, length);
        const std::string printed = ShellOutput("printf '%s' '" + challenge + "' | openssl dgst -md5 -hmac '" + key + "'");
        ASSERT_NE(printed.rfind("= "), std::string::npos) << printed;
        EXPECT_EQ(cramMd5Response("tim", key, challenge), "tim " + printed.substr(printed.rfind("= ") + 2, 32)) << length;
    }
}

TEST(CramMd5, Rfc2195Example) {
    std::string challenge;
    ContentCoding::decodeBase64("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", challenge);
    EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    const std::string response = cramMd5Response("tim", "tanstaaftanstaaf", challenge);
    EXPECT_EQ(ContentCoding::encodeBase64(response), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(AuthLine, NamesAnywhereInTheLineSetTheirFlags) {
    struct R {
        const char* line;
        std::vector<AuthMech> want;
    };
    const R rows[] = {
        {"AUTH LOGIN PLAIN", {AuthMech::Login, AuthMech::Plain}},
        {"auth cram-md5", {AuthMech::CramMd5}},
        {"AUTH DIGEST-MD5", {AuthMech::DigestMd5}},
        {"AUTH GSSAPI NTLM", {AuthMech::Gssapi, AuthMech::Ntlm}},
    };
    for (const R& r : rows) {
        AuthFlags f;
        f.setFromAuthLine(r.line);
        AuthFlags want;
        for (AuthMech m : r.want) want.set(m);
        EXPECT_EQ(f.on, want.on) << r.line;
    }
}

TEST(Transcript, AuthPlainPayloadIsMaskedAndLongCommandsCut) {
    EXPECT_EQ(SmtpConnImpl::transcriptForm("AUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==\r\n"), "AUTH PLAIN ****\r\n");
    EXPECT_EQ(SmtpConnImpl::transcriptForm("MAIL FROM:<a@b>\r\n"), "MAIL FROM:<a@b>\r\n");
    const std::string longer(3000, 'x');
    EXPECT_EQ(SmtpConnImpl::transcriptForm(longer), std::string(2500, 'x') + "\n...\n");
}

TEST(SocketErrors, ErrnoMapsToTheSystemsText) {
    for (const int err : {ECONNREFUSED, ETIMEDOUT, ECONNRESET, ENETUNREACH, EADDRINUSE, EMFILE, EACCES, EINVAL}) {
        const SocketErrorText t = socketErrorText(err);
        ASSERT_NE(t.text, nullptr);
        EXPECT_STREQ(t.text, std::strerror(err)) << err;
    }
    Logger log;
    logSocketError(ENOTSOCK, log);
    StringBuffer text;
    log.getText(text);
    EXPECT_NE(text.str().find("SocketError: Error 58"), std::string::npos) << text.str();  // ENOTSOCK = 88 = 0x58
    EXPECT_NE(text.str().find("anti-virus port filtering"), std::string::npos);
}

TEST(HostNames, CleanedNameDropsDecorationOnly) {
    EXPECT_EQ(cleanHostName(" <Mail.Example.Test/> "), "mail.example.test");
    EXPECT_EQ(cleanHostName("user@host:25?"), "userhost25");
    EXPECT_EQ(cleanHostName("plain"), "plain");
}

TEST(HostNames, AnAbortedLookupSaysSoAndLeavesItsThreadSafely) {
    ProgressMonitor pm;
    pm.requestAbort();
    Logger log;
    std::string dotted;
    bool timedOut = false, aborted = false;
    EXPECT_FALSE(resolveHostTimed("localhost", 5000, 200, &pm, dotted, timedOut, aborted, log));
    EXPECT_TRUE(aborted);
    StringBuffer text;
    log.getText(text);
    EXPECT_NE(text.str().find("DNS lookup aborted by application callback"), std::string::npos);
    ProgressMonitor calm;
    EXPECT_TRUE(resolveHostTimed("localhost", 5000, 200, &calm, dotted, timedOut, aborted, log));
    EXPECT_EQ(dotted, "127.0.0.1");
}

// A listener for connect tests.
struct Listener {
    zelmar::TimeoutSocket sock{5};
    int port = 0;
    Listener() {
        EXPECT_TRUE(sock.Listen("127.0.0.1", 8));
        port = sock.LocalPort();
    }
};

TEST(PlainSocketConnect, LocalhostAnyCaseAndDecoratedNamesReachTheListener) {
    Listener l;
    for (const char* host : {"LOCALHOST", "127.0.0.1", " localhost "}) {
        PlainSocket s;
        Logger log;
        bool timedOut = false;
        EXPECT_TRUE(s.connectSocket(host, l.port, log, nullptr, 0, timedOut)) << host;
        EXPECT_EQ(s.resolvedAddress(), "127.0.0.1");
        auto peer = l.sock.Accept();
        EXPECT_TRUE(peer.has_value());
    }
}

TEST(PlainSocketConnect, RefusedAndEmptyGiveTheirReasons) {
    int closedPort = 0;
    {
        Listener l;
        closedPort = l.port;
    }
    PlainSocket s;
    Logger log;
    bool timedOut = false;
    EXPECT_FALSE(s.connectSocket("127.0.0.1", closedPort, log, nullptr, 0, timedOut));
    EXPECT_EQ(s.failReason(), PlainSocket::kConnectFailed);
    EXPECT_FALSE(s.isConnected());
    StringBuffer text;
    log.getText(text);
    EXPECT_NE(text.str().find(std::strerror(ECONNREFUSED)), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("WSAE"), std::string::npos) << text.str();
    EXPECT_EQ(s.connectProblem(), std::strerror(ECONNREFUSED));
    EXPECT_FALSE(s.connectSocket("  ", 25, log, nullptr, 0, timedOut));
    EXPECT_EQ(s.failReason(), PlainSocket::kNoHost);
    EXPECT_FALSE(s.connectSocket("no-such-host.invalid", 25, log, nullptr, 0, timedOut));
    EXPECT_EQ(s.failReason(), PlainSocket::kLookupFailed);
}

TEST(PlainSocketRead, LinesAreCappedAndAPartialLineIsNoLine) {
    Listener l;
    PlainSocket s;
    Logger log;
    bool timedOut = false, aborted = false;
    ASSERT_TRUE(s.connectSocket("127.0.0.1", l.port, log, nullptr, 0, timedOut));
    auto peer = l.sock.Accept();
    ASSERT_TRUE(peer);
    const std::string sent = "250 first\r\n250 2.7";
    peer->SendAll(sent.data(), sent.size());
    s.setReadTimeout(300);
    std::string line;
    EXPECT_TRUE(s.readUntilMatch(line, "\r\n", 1000, log, nullptr, 0, timedOut, aborted));
    EXPECT_EQ(line, "250 first\r\n");
    EXPECT_FALSE(s.readUntilMatch(line, "\r\n", 1000, log, nullptr, 0, timedOut, aborted));
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(line, "250 2.7");  // handed out for the log, not as a reply
    const std::string flood(5000, 'x');
    peer->SendAll(flood.data(), flood.size());
    EXPECT_FALSE(s.readUntilMatch(line, "\r\n", 1000, s.readDeadline(), log, nullptr, 0, timedOut, aborted, 4096));
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(s.isConnected());
}


// The throttle holds a transfer to its limit once 200 ms have passed: the
// bytes counted so far are not followed by more before bytes / limit seconds
// have passed. A burst inside the first 200 ms goes unchecked. Only lower
// bounds on the wait are asserted; an unlimited throttle never waits.
struct ThrottleCase {
    const char* name;
    std::uint64_t limit;
    std::uint64_t counted;
    int afterMs;          // time since the start when the next transfer asks
    long long minWaitMs;  // lower bound on the time from the start
    bool waits;           // whether it waits (and so looks at the monitor)
};

TEST(BandwidthThrottle, WaitsUntilTheCountedBytesAreDue) {
    const ThrottleCase cases[] = {
        {"unlimited", 0, 100000000, 250, 0, false},
        {"burst inside the first 200 ms", 20000, 10000, 0, 0, false},
        {"half a second due at 210 ms", 20000, 10000, 210, 450, true},
        {"a quarter second due at 210 ms", 100000, 25000, 210, 220, true},
        {"under the limit at 210 ms", 100000, 1000, 210, 0, false},
    };
    for (const auto& c : cases) {
        BandwidthThrottle t;
        t.setLimit(c.limit);
        int checks = 0;
        ProgressMonitor pm;
        pm.setAbortQuery([&] { ++checks; return false; });
        const auto start = SteadyClock::now();
        t.count(c.counted);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.afterMs));
        EXPECT_TRUE(t.waitBefore(50, &pm)) << c.name;
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
        EXPECT_GE(waited, c.minWaitMs) << c.name;
        EXPECT_LT(waited, 20000 + 5000) << c.name;  // the wait is capped
        if (c.waits) {
            EXPECT_GT(checks, 0) << c.name << ": the wait looks at the monitor";
        } else {
            EXPECT_EQ(checks, 0) << c.name << ": no wait";
        }
    }
}

TEST(BandwidthThrottle, AnAbortEndsTheWait) {
    BandwidthThrottle t;
    t.setLimit(1000);
    t.count(15000);  // fifteen seconds due
    std::this_thread::sleep_for(std::chrono::milliseconds(210));
    ProgressMonitor pm;
    int checks = 0;
    pm.setAbortQuery([&] { return ++checks > 2; });
    const auto start = SteadyClock::now();
    EXPECT_FALSE(t.waitBefore(50, &pm));
    EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(10));
}

// A loopback pair: a PlainSocket connected to a peer that we hold.
struct Pair {
    Listener l;
    PlainSocket s;
    std::optional<zelmar::TimeoutSocket> peer;
    Logger log;
    Pair() {
        bool timedOut = false;
        EXPECT_TRUE(s.connectSocket("127.0.0.1", l.port, log, nullptr, 0, timedOut));
        peer = l.sock.Accept();
        EXPECT_TRUE(peer.has_value());
    }
    std::string text() {
        StringBuffer b;
        log.getText(b);
        return b.str();
    }
};

TEST(BandwidthThrottle, AThrottledSendTakesAtLeastItsDueTime) {
    Pair p;
    ASSERT_TRUE(p.peer);
    // The peer drains in the background so that only the throttle slows the send.
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        char buf[8192];
        for (int i = 0; i < 100000 && !stop.load(); ++i) {
            if (p.peer->ReceiveUntil(buf, sizeof buf, SteadyClock::now() + std::chrono::milliseconds(50)) == 0) break;
        }
    });
    const std::string data(16384, 'd');
    p.s.uploadThrottle().setLimit(40000);
    // The throttle's clock starts with the first piece and leaves the first
    // 200 ms unchecked: one piece, then the rest past that time.
    const auto start = SteadyClock::now();
    EXPECT_TRUE(p.s.sendBytes(data.data(), 4096, 4096, p.log, nullptr, 0)) << p.text();
    std::this_thread::sleep_for(std::chrono::milliseconds(210));
    EXPECT_TRUE(p.s.sendBytes(data.data() + 4096, data.size() - 4096, 4096, p.log, nullptr, 0)) << p.text();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
    // The last piece may leave once the first three are due: 12288 / 40000 s
    // after the first.
    EXPECT_GE(took, 12288LL * 1000 / 40000 - 10);
    stop = true;
    drain.join();
}

// A monitor that asks to abort after a number of looks, counting its beats.
struct AbortAfter {
    ProgressMonitor pm;
    std::atomic<int> looks{0};
    explicit AbortAfter(int n) {
        pm.setAbortQuery([this, n] { return ++looks > n; });
    }
};

struct AbortCase {
    const char* name;
    const char* logText;  // what the log must say
};

TEST(PlainSocketAbort, AMonitorAbortEndsAWaitOnASilentPeerQuickly) {
    const AbortCase cases[] = {
        {"waitForData", "Wait-for-data aborted by app"},
        {"receiveBytes", "socket operation aborted by application callback"},
        {"readUntilMatch", "aborted by application callback"},
        {"sendBytes", "aborted by application"},
    };
    for (const auto& c : cases) {
        Pair p;
        ASSERT_TRUE(p.peer);
        p.s.setReadTimeout(60000);
        AbortAfter monitor(3);
        const std::string name = c.name;
        const auto start = SteadyClock::now();
        bool timedOut = false, aborted = false, closed = false;
        bool ok = true;
        std::string out;
        if (name == "waitForData") {
            ok = p.s.waitForData(60000, p.log, &monitor.pm);
        } else if (name == "receiveBytes") {
            ok = p.s.receiveBytes(out, 100, p.log, &monitor.pm, 50, timedOut, aborted, closed);
            EXPECT_TRUE(aborted) << c.name;
            EXPECT_FALSE(timedOut) << c.name;
            EXPECT_FALSE(closed) << c.name;
        } else if (name == "readUntilMatch") {
            ok = p.s.readUntilMatch(out, "\r\n", 1000, p.log, &monitor.pm, 50, timedOut, aborted);
            EXPECT_TRUE(aborted) << c.name;
            EXPECT_FALSE(timedOut) << c.name;
        } else {
            // The peer never reads: the send fills the kernel's buffers and
            // then waits for room until the monitor asks to abort.
            AbortAfter late(1000000);
            late.pm.setAbortQuery([&late, start] {
                ++late.looks;
                return SteadyClock::now() - start > std::chrono::milliseconds(300);
            });
            const std::string data(64 * 1024 * 1024, 's');
            ok = p.s.sendBytes(data.data(), data.size(), 4096, p.log, &late.pm, 50);
        }
        EXPECT_FALSE(ok) << c.name;
        EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(20)) << c.name << ": far below the 60 s limit";
        EXPECT_NE(p.text().find(c.logText), std::string::npos) << c.name << "\n" << p.text();
    }
}

// The timed lookup gives its heartbeat through the monitor while it waits;
// a name that resolves at once may finish before the first beat, so only a
// heartbeat that is given must not disturb the result.
TEST(HostNames, ATimedLookupWithAHeartbeatStillFindsLoopback) {
    ProgressMonitor pm;
    std::atomic<int> beats{0};
    pm.setProgressReport([&](std::uint64_t, std::uint64_t) { ++beats; });
    Logger log;
    std::string dotted;
    bool timedOut = true, aborted = true;
    EXPECT_TRUE(resolveHostTimed("localhost", 5000, 10, &pm, dotted, timedOut, aborted, log));
    EXPECT_EQ(dotted, "127.0.0.1");
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(aborted);
}


// A local bind address chooses the source address of the connection; one
// that is not this machine's, or no address at all, fails before any packet.
struct BindCase {
    const char* bindAddress;
    bool connects;
    const char* peerSees;  // the source address the listener reports
};

TEST(PlainSocketConnect, ALocalBindAddressIsTheSourceOfTheConnection) {
    const BindCase cases[] = {
        {"", true, "127.0.0.1"},
        {"127.0.0.1", true, "127.0.0.1"},
        {"127.0.0.2", true, "127.0.0.2"},   // all of 127/8 is loopback on Linux
        {"192.0.2.1", false, ""},           // documentation range: not ours
        {"not-an-address", false, ""},
    };
    for (const auto& c : cases) {
        Listener l;
        PlainSocket s;
        s.setLocalBindAddress(c.bindAddress);
        Logger log;
        bool timedOut = false;
        EXPECT_EQ(s.connectSocket("127.0.0.1", l.port, log, nullptr, 0, timedOut), c.connects) << c.bindAddress;
        StringBuffer text;
        log.getText(text);
        if (c.connects) {
            auto peer = l.sock.Accept();
            ASSERT_TRUE(peer.has_value()) << c.bindAddress;
            EXPECT_EQ(peer->PeerAddress(), c.peerSees) << c.bindAddress;
        } else {
            EXPECT_FALSE(s.isConnected());
            EXPECT_EQ(s.failReason(), PlainSocket::kConnectFailed) << c.bindAddress;
            EXPECT_NE(text.str().find("Failed to bind to local IP address"), std::string::npos) << text.str();
        }
        if (*c.bindAddress) {
            EXPECT_NE(text.str().find("BindIpAddr"), std::string::npos) << text.str();
        }
    }
}

}  // namespace
}  // namespace zelmar::test
