// Digest vectors, reply-line rules and the socket layer's small pieces.
#include <gtest/gtest.h>

#include <cerrno>

#include "mail/mime/content_coding.h"
#include "mail/net/plain_socket.h"
#include "mail/base/logger.h"
#include "mail/net/socket_errors.h"
#include "mail/smtp/hmac_md5.h"
#include "mail/smtp/smtp_conn_impl.h"
#include "net/timeout_socket.h"

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

TEST(SocketErrors, ErrnoMapsToItsCounterpartText) {
    const std::pair<int, int> rows[] = {{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ECONNRESET, 10054},
                                        {ENETUNREACH, 10051},  {EADDRINUSE, 10048}, {EMFILE, 10024},
                                        {EACCES, 10013},       {EINVAL, 10022}};
    for (const auto& [err, wsa] : rows) {
        const SocketErrorText t = socketErrorText(err);
        EXPECT_EQ(t.wsaCode, wsa) << err;
        ASSERT_NE(t.text, nullptr);
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
    EXPECT_NE(text.str().find("WSAECONNREFUSED"), std::string::npos) << text.str();
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

}  // namespace
}  // namespace zelmar::test
