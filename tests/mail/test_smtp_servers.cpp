// The SMTP session against real servers on loopback: aiosmtpd (LOGIN,
// PLAIN, STARTTLS, implicit TLS) and the npm smtp-server (CRAM-MD5, a server
// that lists only DIGEST-MD5). Each row connects, logs in, sends two
// messages over one connection (the second after RSET) and checks that the
// server received the MIME text byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "mail/smtp/hmac_md5.h"
#include "mail/mime/content_coding.h"
#include "tests/mail/smtp_test_support.h"

namespace zelmar::test {
namespace {

using mail::Logger;
using mail::SendOutcome;
using mail::SmtpConnImpl;

enum class Peer { Aiosmtpd, NodeSmtpServer };
enum class Security { Plain, StartTls, ImplicitTls };

struct Row {
    const char* name;
    Peer peer;
    Security security;
    const char* serverAuth;  // aiosmtpd: both|plain|login|none; node: advertised methods
    const char* forced;      // forced mechanism ("" for the automatic choice)
    const char* password;
    bool connects;
    bool sends;
    const char* loginMethod;  // expected "login_method" entry
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const Row kRows[] = {
    {"PlainAutoLogin", Peer::Aiosmtpd, Security::Plain, "both", "", "s3cret:pw", true, true, "LOGIN"},
    {"PlainOnlyPlain", Peer::Aiosmtpd, Security::Plain, "plain", "", "s3cret:pw", true, true, "PLAIN"},
    {"PlainForcedPlain", Peer::Aiosmtpd, Security::Plain, "both", "plain", "s3cret:pw", true, true, "PLAIN"},
    {"PlainWrongPassword", Peer::Aiosmtpd, Security::Plain, "both", "", "wrong", false, false, "LOGIN"},
    {"PlainWrongPasswordPlain", Peer::Aiosmtpd, Security::Plain, "plain", "", "wrong", false, false, "PLAIN"},
    {"StartTlsLogin", Peer::Aiosmtpd, Security::StartTls, "both", "", "s3cret:pw", true, true, "LOGIN"},
    {"StartTlsPlain", Peer::Aiosmtpd, Security::StartTls, "plain", "", "s3cret:pw", true, true, "PLAIN"},
    {"ImplicitTlsLogin", Peer::Aiosmtpd, Security::ImplicitTls, "both", "", "s3cret:pw", true, true, "LOGIN"},
    {"ImplicitTlsPlain", Peer::Aiosmtpd, Security::ImplicitTls, "plain", "", "s3cret:pw", true, true, "PLAIN"},
    {"NoLoginNeeded", Peer::Aiosmtpd, Security::Plain, "none", "", "", true, true, "NONE or already authenticated"},
    {"NodeCramMd5", Peer::NodeSmtpServer, Security::Plain, "CRAM-MD5", "", "s3cret:pw", true, true, "CRAM_MD5"},
    {"NodeCramMd5Wrong", Peer::NodeSmtpServer, Security::Plain, "CRAM-MD5", "", "wrong", false, false, "CRAM_MD5"},
    {"NodeForcedCramLowerCase", Peer::NodeSmtpServer, Security::Plain, "PLAIN,LOGIN,CRAM-MD5", "cram-md5",
     "s3cret:pw", true, true, "CRAM_MD5"},
    {"NodeAllListedPicksLogin", Peer::NodeSmtpServer, Security::Plain, "PLAIN,LOGIN,CRAM-MD5", "", "s3cret:pw", true,
     true, "LOGIN"},
    {"NodeOnlyDigestMd5", Peer::NodeSmtpServer, Security::Plain, "DIGEST-MD5", "", "s3cret:pw", true, false,
     "DIGEST-MD5"},
};

// The aiosmtpd peer for a row: security, offered mechanisms, the login
// user / s3cret:pw, the suite's certificate, messages kept in outDir.
SmtpPeer::Options AiosmtpdOptions(const Row& row, const std::string& certDir, const std::string& outDir) {
    SmtpPeer::Options o;
    const std::string auth = row.serverAuth;
    if (auth != "none") o.login = "user:s3cret:pw";
    o.plainOnly = auth == "plain";
    o.loginOnly = auth == "login";
    o.startTls = row.security == Security::StartTls;
    o.implicitTls = row.security == Security::ImplicitTls;
    o.certDir = certDir;
    o.outDir = outDir;
    return o;
}

class SmtpRealServer : public ::testing::TestWithParam<Row> {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir();
        certOk_ = MakeSelfSignedCert(dir_->path());
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    // smtp-server is installed once into a folder of the build tree. Test
    // processes run side by side: the install happens under a lock, and a
    // process only looks at the folder once it holds the lock, so nobody
    // loads a half-unpacked module.
    // The registry is reached directly: the test run's proxy keeps only the
    // program under test on this machine.
    static std::string NodeModules(std::string& why) {
        const std::string prefix = ZELMAR_NODE_PREFIX;
        const std::string marker = prefix + "/node_modules/smtp-server/package.json";
        const std::string cmd = "mkdir -p '" + prefix + "' && flock '" + prefix + "/.install.lock' sh -c '" +
                                "test -s \"$0\" || timeout 180 env -u http_proxy -u https_proxy -u HTTPS_PROXY npm i --no-audit --no-fund --prefix \"$1\" " +
                                "smtp-server@3 >/dev/null 2>&1' '" + marker + "' '" + prefix + "'";
        if (std::system(cmd.c_str()) != 0 || ReadFile(marker).empty()) {
            why = "npm could not install smtp-server (registry unreachable?)";
            return "";
        }
        return prefix + "/node_modules";
    }

    static ScratchDir* dir_;
    static bool certOk_;
};
ScratchDir* SmtpRealServer::dir_ = nullptr;
bool SmtpRealServer::certOk_ = false;

TEST_P(SmtpRealServer, SendsTwoMessagesByteForByte) {
    const Row& row = GetParam();
    ASSERT_TRUE(certOk_) << "openssl could not make a certificate";
    ScratchDir out;
    const int nodePort = FreePort();
    std::unique_ptr<SmtpPeer> peer;
    std::unique_ptr<ChildProcess> server;
    if (row.peer == Peer::Aiosmtpd) {
        peer = std::make_unique<SmtpPeer>(AiosmtpdOptions(row, dir_->path(), out.path()));
        ASSERT_TRUE(peer->ok()) << peer->Log();
    } else {
        std::string why;
        const std::string modules = NodeModules(why);
        if (modules.empty()) GTEST_SKIP() << why;
        server = std::make_unique<ChildProcess>(
            std::vector<std::string>{"node", ZELMAR_NODE_PEER, std::to_string(nodePort), row.serverAuth, out.path()},
            out / "server.log", std::map<std::string, std::string>{{"NODE_PATH", modules}});
        ASSERT_TRUE(WaitForPort(nodePort)) << ReadFile(out / "server.log");
    }
    const int port = peer ? peer->port() : nodePort;

    const std::string login = "user";
    const std::string password = row.password;
    const bool withLogin = !password.empty();
    Logger log;
    {
        SmtpConnImpl session;
        session.setHeloName("client.test");
        session.setImplicitTls(row.security == Security::ImplicitTls);
        session.setStartTls(row.security == Security::StartTls);
        bool timedOut = false, aborted = false;
        const bool connected =
            session.connectSmtp("127.0.0.1", port, withLogin ? &login : nullptr, withLogin ? &password : nullptr,
                                "", row.forced, 10, 10000, nullptr, log, nullptr, timedOut, aborted);
        const std::string text = LogText(log);
        EXPECT_NE(text.find(std::string("login_method: ") + row.loginMethod), std::string::npos) << text;
        ASSERT_EQ(connected, row.connects) << text;
        if (withLogin) {
            const std::string secret = mail::ContentCoding::encodeBase64(password);
            EXPECT_EQ(session.transcript().find(secret), std::string::npos) << "password in the transcript";
            EXPECT_EQ(text.find(secret), std::string::npos) << "password in the log";
            if (std::string(row.loginMethod) == "PLAIN") {
                EXPECT_NE(session.transcript().find("AUTH PLAIN ****"), std::string::npos) << session.transcript();
            }
        }
        if (!connected) return;
        if (row.security != Security::Plain) {
            EXPECT_TRUE(session.tlsInUse());
            EXPECT_NE(text.find("SSL Server Certificate not verified"), std::string::npos) << text;
        }
        if (row.security == Security::StartTls) {
            EXPECT_NE(text.find("TLS connection established."), std::string::npos) << text;
        }

        for (int n = 1; n <= 2; ++n) {
            if (n == 2) {
                // Same parameters, host in another letter case: the connection is reused.
                ASSERT_TRUE(session.connectSmtp("127.0.0.1", port, withLogin ? &login : nullptr,
                                                withLogin ? &password : nullptr, "", row.forced, 10, 10000, nullptr,
                                                log, nullptr, timedOut, aborted))
                    << LogText(log);
                EXPECT_NE(LogText(log).find("Using existing/open SMTP connection to send email."), std::string::npos);
            }
            mail::RenderedMessage msg = SampleMessage(n, n == 2 ? 40000 : 0);
            SendOutcome outcome;
            const bool sent = session.sendMail(&msg, "sender@example.test", nullptr, "", log, nullptr, outcome);
            ASSERT_EQ(sent, row.sends) << LogText(log);
            if (!sent) {
                EXPECT_NE(LogText(log).find("Failed when sending MAIL FROM:<sender@example.test>"), std::string::npos);
                return;
            }
            EXPECT_EQ(outcome.accepted, 3);
            EXPECT_EQ(outcome.attempted, 3);
            EXPECT_EQ(msg.newMessageIdCalls, 1);
            const std::string got = ReadFile(out / (std::to_string(n) + ".eml"));
            // The server's copy has the dots un-stuffed; its last CRLF is the
            // one of the terminator's line.
            EXPECT_TRUE(got == msg.mime) << "message " << n << ": got " << got.size() << " bytes, sent "
                                         << msg.mime.size() << "; first 200 received: " << got.substr(0, 200);
            if (row.peer == Peer::Aiosmtpd) {
                EXPECT_EQ(ReadFile(out / (std::to_string(n) + ".env")),
                          "sender@example.test\nalice@example.test\nbob@example.test\ncarol@example.test\n");
            }
            if (n == 2 && row.security != Security::Plain) {
                EXPECT_GE(session.connection().channel().recordsLastSend(), 1u);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, SmtpRealServer, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelmar::test
