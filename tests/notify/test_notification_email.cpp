// The notification e-mail end to end: a core on the fake host, the user's
// message file, and a real SMTP server on loopback.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <functional>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/settings.h"
#include "app/core/text.h"
#include "app/notify/certificate_pins.h"
#include "app/notify/notification_email.h"
#include "app/notify/smtp_login.h"
#include "app/publish/publishing.h"
#include "tests/support/smtp_peer.h"
#include "tests/support/fake_host.h"
#include "tests/support/pipeline_support.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const std::string kAttempting = "Attempting to send e-mail...";
const std::string kNotSent = "Email not sent; see SMTPErrors.xml for details";
const std::string kSentToTwo = "E-mail sent to 2 recipient(s).";

// The mail channel as a refresh runs it, on the addresses the test chose and
// the flags it put into the core.
void SendNotificationEmail(Core& core, const StubAddresses& addresses) {
    MailChannel channel(core.settings(), core.startDirectory(), core.ini());
    RunChannelOn(core, channel, addresses);
}

class MailHost : public FakeHost {
public:
    explicit MailHost(const ScratchDir& dir) : dir_(dir) {}
    MbAnswer MessageBox(const MessageBoxRequest& r) override {
        errorsFileAtBox.push_back(::access((dir_ / kSmtpErrorsFile).c_str(), F_OK) == 0);
        return FakeHost::MessageBox(r);
    }
    void ShowEmailOptionsPage() override { ++emailPageShown; }
    std::vector<bool> errorsFileAtBox;
    int emailPageShown = 0;

private:
    const ScratchDir& dir_;
};

class NotificationEmail : public ::testing::Test {
protected:
    void Start(const SmtpPeer::Options& options = {}) {
        server = std::make_unique<SmtpPeer>(options);
        ASSERT_TRUE(server->ok());
        Configure(server->port());
    }
    void Configure(int port) {
        WriteFile(dir / "ip.txt", "Status %S\r\nWAN %WI LAN %I\r\n");
        core = std::make_unique<Core>(host, dir.path(), dir / "Zelmar.ini", "k");
        core->EditSettings([&](Settings& s) {
            s.EnableMail = 1;
            s.EmailServer = "127.0.0.1";
            s.EmailServerPort = port;
            s.EmailFrom = "zelmar@example.com";
            s.EmailTo = "joe@example.com;;ann@example.com;";
            s.EmailSubject = "Addresses of %H";
            s.EmailInput = "ip.txt";
            s.SaveFileHTML = "copy.html";
            s.SaveFileASCII = "copy.txt";
        });
        addresses->current = {"203.0.113.7", "10.0.0.5", {}, {}};
        addresses->previous = addresses->current;
    }
    template <class F>
    void Edit(F&& f) {
        core->EditSettings(std::forward<F>(f));
    }
    bool Exists(const std::string& name) const { return ::access((dir / name).c_str(), F_OK) == 0; }
    int Received() const { return server ? server->Count() : 0; }

    ScratchDir dir;
    MailHost host{dir};
    std::unique_ptr<SmtpPeer> server;
    std::unique_ptr<Core> core;
    std::shared_ptr<StubAddresses> addresses = std::make_shared<StubAddresses>();
};

// The tests sit in the fixtures' anonymous namespace: a test class with
// external linkage deriving from a file-local fixture draws a warning.

TEST_F(NotificationEmail, PlainTextMailReachesBothRecipients) {
    Start();
    SendNotificationEmail(*core, *addresses);
    EXPECT_EQ(host.lines, (std::vector<std::string>{kAttempting, kAttempting, kSentToTwo}));
    ASSERT_EQ(Received(), 1);
    const std::string raw = server->Raw(1);
    EXPECT_EQ(HeaderNames(raw),
              (std::vector<std::string>{"MIME-Version", "Date", "X-Mailer", "X-Priority", "Content-Transfer-Encoding",
                                        "Content-Type", "Subject", "To", "From", "Message-ID"}));
    EXPECT_EQ(HeaderValue(raw, "Content-Type"), "text/plain");
    EXPECT_EQ(HeaderValue(raw, "Subject"), "Addresses of %H");  // no token substitution in the subject
    EXPECT_EQ(HeaderValue(raw, "From"), "zelmar@example.com");
    EXPECT_TRUE(Has(BodyOf(raw), "Status Online\r\nWAN 203.0.113.7 LAN 10.0.0.5\r\n")) << raw;
    EXPECT_TRUE(Has(server->Meta(1), "\"rcpt_tos\": [\"joe@example.com\", \"ann@example.com\"]"));
    EXPECT_TRUE(Has(server->Meta(1), "\"mail_from\": \"zelmar@example.com\""));
    // The working copy is gone, and the page's local copies were not touched.
    EXPECT_FALSE(Exists("ip$.txt"));
    EXPECT_FALSE(Exists("copy.html"));
    EXPECT_FALSE(Exists("copy.txt"));
    EXPECT_FALSE(Exists(kSmtpErrorsFile));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(NotificationEmail, HtmlMessageGoesAsHtml) {
    Start();
    WriteFile(dir / "ip.txt", "<html><body>WAN %WI</body></html>");
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    const std::string raw = server->Raw(1);
    EXPECT_EQ(HeaderNames(raw),
              (std::vector<std::string>{"MIME-Version", "Date", "X-Mailer", "X-Priority", "Content-Transfer-Encoding",
                                        "Content-Type", "Subject", "To", "From", "Message-ID"}));
    EXPECT_EQ(HeaderValue(raw, "Content-Type"), "text/html");
    EXPECT_TRUE(Has(raw, "WAN 203.0.113.7"));
}

TEST_F(NotificationEmail, MixedCaseHtmlTagGoesAsPlainText) {
    Start();
    WriteFile(dir / "ip.txt", "<Html>WAN %WI</Html>");
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    EXPECT_EQ(HeaderValue(server->Raw(1), "Content-Type"), "text/plain");
}

TEST_F(NotificationEmail, AttachmentModeSendsTheExpandedFileNamedAfterTheMessageFile) {
    Start();
    Edit([](Settings& s) { s.IsMsgAttachment = 1; });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    const std::string raw = server->Raw(1);
    EXPECT_EQ(HeaderNames(raw), (std::vector<std::string>{"MIME-Version", "Date", "X-Mailer", "X-Priority",
                                                           "Content-Type", "Subject", "To", "From", "Message-ID"}));
    const std::string type = HeaderValue(raw, "Content-Type");
    EXPECT_EQ(type.rfind("multipart/mixed;", 0), 0u) << type;
    const std::size_t b = type.find("boundary=\"");
    ASSERT_NE(b, std::string::npos);
    const std::string boundary = type.substr(b + 10, type.find('"', b + 10) - b - 10);
    EXPECT_EQ(boundary.size(), 40u + 5u);
    EXPECT_EQ(boundary.substr(40), "_.MIX");
    // Two parts: the empty text body, then the expanded file.
    const std::string body = BodyOf(raw);
    const std::string sep = "--" + boundary + "\r\n";
    const std::size_t first = body.find(sep);
    ASSERT_NE(first, std::string::npos) << raw;
    const std::size_t second = body.find(sep, first + sep.size());
    ASSERT_NE(second, std::string::npos) << raw;
    const std::string textPart = body.substr(first + sep.size(), second - first - sep.size());
    const std::string filePart = body.substr(second + sep.size());
    EXPECT_EQ(HeaderValue(textPart, "Content-Type"), "text/plain");
    EXPECT_EQ(HeaderValue(textPart, "Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_EQ(BodyOf(textPart), "\r\n") << textPart;
    EXPECT_EQ(HeaderNames(filePart),
              (std::vector<std::string>{"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"}));
    EXPECT_TRUE(Has(HeaderValue(filePart, "Content-Type"), "text/plain"));
    EXPECT_TRUE(Has(HeaderValue(filePart, "Content-Type"), "name=\"ip.txt\""));
    EXPECT_EQ(HeaderValue(filePart, "Content-Transfer-Encoding"), "quoted-printable");
    const std::string disposition = HeaderValue(filePart, "Content-Disposition");  // may be folded
    EXPECT_EQ(disposition.rfind("attachment;", 0), 0u) << disposition;
    EXPECT_TRUE(Has(disposition, "filename=\"ip.txt\"")) << disposition;
    EXPECT_TRUE(Has(BodyOf(filePart), "Status Online\r\nWAN 203.0.113.7 LAN 10.0.0.5\r\n")) << filePart;
}

TEST_F(NotificationEmail, BccModeWritesNoToField) {
    Start();
    Edit([](Settings& s) { s.IsMailTo = 1; });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    const std::vector<std::string> names = HeaderNames(server->Raw(1));
    EXPECT_EQ(std::count(names.begin(), names.end(), "To"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Bcc"), 0);
    EXPECT_TRUE(Has(server->Meta(1), "\"rcpt_tos\": [\"joe@example.com\", \"ann@example.com\"]"));
}

TEST_F(NotificationEmail, ALongRecipientListReachesEveryone) {
    Start();
    std::string list;
    for (int i = 0; i < 40; ++i) list += " person" + std::to_string(i) + "@example.com.au ;";
    ASSERT_GT(list.size(), 255u);
    Edit([&](Settings& s) { s.EmailTo = list; });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    EXPECT_TRUE(Has(server->Meta(1), "\"person0@example.com.au\""));
    EXPECT_TRUE(Has(server->Meta(1), "\"person39@example.com.au\"]"));
}

struct SecureCase {
    const char* what;
    bool auth;
    bool startTls;
};

class NotificationEmailLogin : public NotificationEmail, public ::testing::WithParamInterface<SecureCase> {};

TEST_P(NotificationEmailLogin, LogsInWithTheStoredLogin) {
    SmtpPeer::Options o;
    // Blanks at both ends are part of the password, as stored.
    o.login = "joe@example.com: pa ss;word ";
    o.startTls = GetParam().startTls;
    if (o.startTls) {
        ASSERT_TRUE(MakeSelfSignedCert(dir.path()));
        o.certDir = dir.path();
    }
    Start(o);
    // The login as --set-smtp-login stores it, read back by the settings store.
    IniFile ini(dir / "Zelmar.ini");
    std::string error;
    ASSERT_TRUE(WriteSmtpLogin(ini, {"joe@example.com", " pa ss;word "}, "k", error)) << error;
    ASSERT_TRUE(ini.WriteString(kLocalSettings, "FTPServer", std::string("ftp.example.com")));
    Settings loaded;
    ASSERT_TRUE(LoadSettings(ini, loaded, "k"));
    Edit([&](Settings& s) {
        s.EnableSMTPAuth = 1;
        s.EmailAccount = loaded.EmailAccount;
        s.EmailPassword = loaded.EmailPassword;
        s.EnableSecureSMTP = GetParam().startTls ? 1 : 0;
    });
    SendNotificationEmail(*core, *addresses);
    // The test server's self-signed certificate is trusted on first use.
    std::vector<std::string> want{kAttempting, kAttempting, kSentToTwo};
    if (GetParam().startTls)
        want.insert(want.begin() + 1, "Warning: the certificate of the mail server 127.0.0.1:" +
                                          std::to_string(server->port()) +
                                          " is not verified; accepted and remembered (SHA-256 " +
                                          CertFingerprint(dir / "cert.pem") + ")");
    EXPECT_EQ(host.lines, want);
    ASSERT_EQ(Received(), 1);
    EXPECT_TRUE(Has(server->Meta(1), "\"login\": \"joe@example.com\""));
    EXPECT_TRUE(Has(server->Meta(1), GetParam().startTls ? "\"tls\": true" : "\"tls\": false"));
}

INSTANTIATE_TEST_SUITE_P(Modes, NotificationEmailLogin,
                         ::testing::Values(SecureCase{"plain", true, false}, SecureCase{"starttls", true, true}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(NotificationEmail, RefusedRecipientsAreNamedBeforeTheSuccessLine) {
    SmtpPeer::Options o;
    o.refuse = {"ann@example.com"};
    Start(o);
    SendNotificationEmail(*core, *addresses);
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              kAttempting, "Warning: the SMTP server refused these recipients: ann@example.com",
                              kAttempting, "E-mail sent to 1 recipient(s)."}));
    EXPECT_EQ(Received(), 1);
}

TEST_F(NotificationEmail, ServerDownWritesTheErrorFileBeforeTheBox) {
    Configure(FreePort());
    Edit([](Settings& s) {
        s.EnableSMTPAuth = 1;
        s.EmailAccount = "joe";
        s.EmailPassword = "S3cretPassw0rd";
    });
    WriteFile(dir / kSmtpErrorsFile, "an older failure");
    SendNotificationEmail(*core, *addresses);
    // What happened, in the system's words, is the last line and in the box.
    const std::string why = "Unable to connect to 127.0.0.1 port " + std::to_string(core->settings().EmailServerPort) +
                            ": " + std::strerror(ECONNREFUSED);
    EXPECT_EQ(host.lines, (std::vector<std::string>{kAttempting, kNotSent, "Email not sent: " + why}));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kNotSent + "\n\n" + why);
    EXPECT_EQ(host.errorsFileAtBox, std::vector<bool>{true});
    EXPECT_EQ(host.emailPageShown, 0);
    const std::string xml = ReadFile(dir / kSmtpErrorsFile);
    EXPECT_EQ(xml.rfind("<MailLog>\r\n<SendEmail>\r\n", 0), 0u) << xml;
    EXPECT_TRUE(Has(xml, "<error>Failed to connect to SMTP server.</error>"));
    EXPECT_FALSE(Has(xml, "S3cretPassw0rd"));
    EXPECT_FALSE(Exists("ip$.txt"));
}

// A refused login is said as such, with the server's own reply, and the
// error file does not call it a failed connection.
TEST_F(NotificationEmail, ARefusedLoginIsSaidWithTheServersReply) {
    SmtpPeer::Options o;
    o.login = "joe:S3cretPassw0rd";
    Start(o);
    Edit([](Settings& s) {
        s.EnableSMTPAuth = 1;
        s.EmailAccount = "joe";
        s.EmailPassword = "wrong";
    });
    SendNotificationEmail(*core, *addresses);
    EXPECT_EQ(host.lines.back().rfind("Email not sent: SMTP login refused by 127.0.0.1 (535 ", 0), 0u) << host.lines.back();
    const std::string xml = ReadFile(dir / kSmtpErrorsFile);
    EXPECT_TRUE(Has(xml, "<error>The SMTP server refused the login.</error>")) << xml;
    EXPECT_FALSE(Has(xml, "Failed to connect to SMTP server."));
}

TEST_F(NotificationEmail, AFailureAfterLoginLeavesNoPasswordInTheErrorFile) {
    SmtpPeer::Options o;
    o.login = "joe:S3cretPassw0rd";
    o.plainOnly = true;
    o.refuse = {"joe@example.com", "ann@example.com"};
    Start(o);
    Edit([](Settings& s) {
        s.EnableSMTPAuth = 1;
        s.EmailAccount = "joe";
        s.EmailPassword = "S3cretPassw0rd";
        s.SuppressError = 1;
    });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(host.lines.size(), 3u);
    EXPECT_EQ(host.lines[1], kNotSent);
    EXPECT_EQ(host.lines[2].rfind("Email not sent: 127.0.0.1 refused RCPT TO (5", 0), 0u) << host.lines[2];
    EXPECT_TRUE(host.boxes.empty());
    const std::string xml = ReadFile(dir / kSmtpErrorsFile);
    EXPECT_TRUE(Has(xml, "<error>Send failed.</error>")) << xml;
    for (const char* form : {"S3cretPassw0rd", "UzNjcmV0UGFzc3cwcmQ", "am9lAGpvZQBTM2NyZXRQYXNzdzByZA"})
        EXPECT_FALSE(Has(xml, form)) << form;
}

TEST_F(NotificationEmail, MissingMessageFileNeverMailsAStaleWorkingCopy) {
    Start();
    ::unlink((dir / "ip.txt").c_str());
    WriteFile(dir / "ip$.txt", "left over from an earlier run");
    SendNotificationEmail(*core, *addresses);
    // The generator names the missing file, then the mail gives up.
    ASSERT_EQ(host.lines.size(), 3u);
    EXPECT_EQ(host.lines[0], kAttempting);
    EXPECT_TRUE(Has(host.lines[1], "ip.txt' was not found.")) << host.lines[1];
    EXPECT_EQ(host.lines[2].rfind("Email not sent: Error opening email input file.", 0), 0u) << host.lines[2];
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, host.lines[2]);
    EXPECT_EQ(host.emailPageShown, 1);
    EXPECT_EQ(Received(), 0);
    EXPECT_FALSE(Exists("ip$.txt"));
}

TEST_F(NotificationEmail, EmptySenderIsRefusedWithoutConnecting) {
    Start();
    Edit([](Settings& s) {
        s.EmailFrom = "  ";
        s.SuppressError = 1;
    });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_TRUE(Has(host.lines[1], "Email not sent: no sender address")) << host.lines[1];
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(host.emailPageShown, 0);
    EXPECT_EQ(Received(), 0);
    EXPECT_FALSE(Exists("ip$.txt"));
}

struct DecisionCase {
    const char* what;
    int changeOnly, manual, trigger, statusChanged;
    bool addressChanged;
    std::vector<std::string> lines;
};

class Decision : public NotificationEmail, public ::testing::WithParamInterface<DecisionCase> {};

TEST_P(Decision, LinesAndMail) {
    const DecisionCase& c = GetParam();
    Start();
    Edit([&](Settings& s) {
        s.EmailOnIPChangeOnly = c.changeOnly;
        s.TriggerProgramStatusUpdate = c.trigger;
    });
    addresses->start.trigger = c.manual != 0 ? RefreshTrigger::Manual : RefreshTrigger::Timer;
    addresses->start.programStatusChanged = c.statusChanged != 0;
    if (c.addressChanged) addresses->previous.wan = "198.51.100.1";
    SendNotificationEmail(*core, *addresses);
    EXPECT_EQ(host.lines, c.lines);
    EXPECT_EQ(Received(), c.lines.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Decision,
    ::testing::Values(
        DecisionCase{"unchangedChangeOnly", 1, 0, 0, 0, false, {}},
        DecisionCase{"unchangedManual", 1, 1, 0, 0, false, {kAttempting, kAttempting, kSentToTwo}},
        DecisionCase{"changed", 1, 0, 0, 0, true, {kAttempting, kAttempting, kSentToTwo}},
        DecisionCase{"always", 0, 0, 0, 0, false, {kAttempting, kAttempting, kSentToTwo}},
        DecisionCase{"programTrigger",
                     1,
                     0,
                     1,
                     1,
                     false,
                     {"Program status change detected. Triggering E-Mail notification.", kAttempting, kAttempting,
                      kSentToTwo}},
        DecisionCase{"triggerOffIgnoresStatus", 1, 0, 0, 1, false, {}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(NotificationEmail, TheRefreshGoesOnToTheUploadAfterAFailedMail) {
    Configure(FreePort());
    Edit([](Settings& s) {
        FtpPageOf(s).EnableFTP = 1;
        s.SuppressError = 1;
    });
    std::vector<std::string> calls;
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup(LookupOf(addresses));
    pipeline.AddChannelFactory(OneChannel([&](const ChannelContext& c) {
        calls.push_back("mail");
        return std::make_unique<MailChannel>(c.settings, c.startDirectory, c.ini);
    }));
    pipeline.AddChannelFactory(OneChannel([&](const ChannelContext&) {
        return std::make_unique<ScriptedChannel>(
            "FTP",
            [&](const RefreshSnapshot&, Reporter&) {
                calls.push_back("upload");
                return DeliveryResult::Success();
            },
            nullptr, true);
    }));
    core->SetServices(pipeline.Services());
    core->PublishOnline();
    EXPECT_EQ(calls, (std::vector<std::string>{"mail", "upload"}));
    EXPECT_TRUE(std::find(host.lines.begin(), host.lines.end(), kNotSent) != host.lines.end());
}

// A host whose posted tasks wait until the test runs them, as a window's
// queue waits for the main loop.
class QueueingHost : public MailHost {
public:
    using MailHost::MailHost;
    void PostToMain(std::function<void()> fn) override { posted.push_back(std::move(fn)); }
    void RunPosted() {
        while (!posted.empty()) {
            auto fn = std::move(posted.front());
            posted.pop_front();
            fn();
        }
    }
    std::deque<std::function<void()>> posted;
};

TEST(NotificationEmailExit, AnUnansweredBoxDoesNotHoldUpTheOfflinePublication) {
    ScratchDir dir;
    QueueingHost host(dir);
    WriteFile(dir / "ip.txt", "Going %S\r\n");
    Core core(host, dir.path(), dir / "Zelmar.ini", "k");
    core.EditSettings([&](Settings& s) {
        s.EnableMail = 1;
        FtpPageOf(s).EnableFTP = 0;
        s.EmailServer = "127.0.0.1";
        s.EmailServerPort = FreePort();
        s.EmailFrom = "zelmar@example.com";
        s.EmailTo = "joe@example.com";
        s.EmailInput = "ip.txt";
    });
    RefreshPipeline pipeline;
    pipeline.AddChannelFactory(MakeMailChannels);
    pipeline.AddChannelFactory(MakeFtpChannels);
    EXPECT_EQ(pipeline.RunExit(core), 1);
    // The publication ended (the exit was asked for) before anyone saw the box.
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(host.closes, 1);
    EXPECT_EQ(host.lines.back(), "System Offline.");
    EXPECT_TRUE(std::find(host.lines.begin(), host.lines.end(), kNotSent) != host.lines.end());
    host.RunPosted();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text.rfind(kNotSent + "\n\nUnable to connect to 127.0.0.1 port ", 0), 0u);
}

TEST_F(NotificationEmail, ALongMessageFileIsCutAt32000Bytes) {
    Start();
    WriteFile(dir / "ip.txt", std::string(40000, 'x'));
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    const std::string body = BodyOf(server->Raw(1));
    EXPECT_EQ(std::count(body.begin(), body.end(), 'x'), 32000);
}

// Recipient pieces as people write them; what is not an address is left
// out with a line naming it, and the rest still get the mail.
TEST_F(NotificationEmail, RecipientPiecesAreReadAsAddresses) {
    Start();
    Edit([](Settings& s) {
        s.EmailTo = "Second Person <second@x.test>;carol@example.org> NOTIFY=NEVER ORCPT=rfc822;x; a@x.test, b@x.test;"
                    "\"\xC3\x9Cnal, Ay\xC5\x9F" "e\" <ayse@x.test>";
    });
    SendNotificationEmail(*core, *addresses);
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              kAttempting, "Warning: 'carol@example.org> NOTIFY=NEVER ORCPT=rfc822' is not an e-mail address; left out",
                              "Warning: 'x' is not an e-mail address; left out", kAttempting,
                              "E-mail sent to 4 recipient(s)."}));
    ASSERT_EQ(Received(), 1);
    EXPECT_TRUE(Has(server->Meta(1), "\"rcpt_tos\": [\"second@x.test\", \"a@x.test\", \"b@x.test\", \"ayse@x.test\"]"))
        << server->Meta(1);
    // A name with a comma is one phrase (RFC 2047 section 5(3)), not two recipients.
    EXPECT_EQ(HeaderValue(server->Raw(1), "To"),
              "\"Second Person\" <second@x.test>, a@x.test,\t b@x.test, =?iso-8859-2?Q?=DCnal=2C_Ay=BAe?= <ayse@x.test>");
}

TEST_F(NotificationEmail, TwoSendersAreRefused) {
    Start();
    Edit([](Settings& s) { s.EmailFrom = "bob@example.org, eve@example.org"; });
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_TRUE(Has(host.lines[1], "Email not sent: the sender 'bob@example.org, eve@example.org' is not one e-mail address"));
    EXPECT_EQ(Received(), 0);
    EXPECT_FALSE(Exists("ip$.txt"));
}

// A message file with LF line ends (any Linux editor) goes as lines.
TEST_F(NotificationEmail, LinuxLineEndsGoAsLines) {
    Start();
    WriteFile(dir / "ip.txt", "Hello,\n\nStatus %S\nWAN %WI");
    SendNotificationEmail(*core, *addresses);
    ASSERT_EQ(Received(), 1);
    EXPECT_EQ(BodyOf(server->Raw(1)), "Hello,\r\n\r\nStatus Online\r\nWAN 203.0.113.7=\r\n");
}

// A stored list longer than the page's limit is cut at a ";", and the
// status line says how many were left out.
TEST_F(NotificationEmail, ALongStoredListIsCutBetweenAddresses) {
    Start();
    std::string list;
    for (int i = 0; list.size() <= kMaxEmailToChars + 100; ++i) list += "user" + std::to_string(i) + "@example.org;";
    IniFile ini(dir / "Zelmar.ini");
    ASSERT_TRUE(ini.WriteString(kLocalSettings, "FTPServer", std::string("ftp.example.com")));
    ASSERT_TRUE(ini.WriteString(kPreferences, "EmailTo", list));
    Settings loaded;
    ASSERT_TRUE(LoadSettings(ini, loaded, "k"));
    ASSERT_LE(loaded.EmailTo.size(), kMaxEmailToChars);
    EXPECT_EQ(list.compare(0, loaded.EmailTo.size() + 1, loaded.EmailTo + ";"), 0);
    const int kept = static_cast<int>(std::count(loaded.EmailTo.begin(), loaded.EmailTo.end(), ';')) + 1;
    const int total = static_cast<int>(std::count(list.begin(), list.end(), ';'));
    EXPECT_EQ(loaded.EmailToLeftOut, total - kept);
    Edit([&](Settings& s) {
        s.EmailTo = loaded.EmailTo;
        s.EmailToLeftOut = loaded.EmailToLeftOut;
    });
    SendNotificationEmail(*core, *addresses);
    EXPECT_TRUE(std::count(host.lines.begin(), host.lines.end(),
                           "Warning: the recipient list is longer than 2048 characters; " +
                               std::to_string(total - kept) + " recipient(s) left out") == 1);
    ASSERT_EQ(Received(), 1);
    EXPECT_TRUE(Has(server->Envelope(1), "user" + std::to_string(kept - 1) + "@example.org\n"));
}

// "Timeout" bounds the wait for a server that never greets.
TEST_F(NotificationEmail, TimeoutBoundsAStalledServer) {
    SilentListener silent;
    Configure(silent.port());
    Edit([](Settings& s) { s.Timeout = 1; });
    const auto start = std::chrono::steady_clock::now();
    SendNotificationEmail(*core, *addresses);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(host.lines.back(), "Email not sent: The mail server 127.0.0.1 failed at greeting: no answer within the time-out");
}

// An unverifiable certificate: remembered on first use, refused when it
// changes (before any login) until the user accepts the new one, refused
// always when verification is required.
TEST_F(NotificationEmail, CertificatesArePinnedPerServer) {
    ASSERT_TRUE(MakeSelfSignedCert(dir.path()));
    SmtpPeer::Options o;
    o.startTls = true;
    o.certDir = dir.path();
    Start(o);
    Edit([](Settings& s) { s.EnableSecureSMTP = 1; });
    const std::string key = "127.0.0.1:" + std::to_string(server->port());
    const std::string pin = CertFingerprint(dir / "cert.pem");
    struct Step {
        const char* what;
        std::function<void()> before;
        int received;
        const char* lineHas;
        std::string stored;
    };
    const std::string other(64, 'a');
    // The spellings people paste: openssl's "AB:CD:...", and "sha256:<hex>".
    std::string opensslForm;
    for (std::size_t i = 0; i < pin.size(); i += 2)
        opensslForm += (i ? ":" : "") + UpperAscii(pin.substr(i, 2));
    const auto write = [&](const std::string& value) {
        return [&, value] { ASSERT_TRUE(core->ini().WriteString(kCertificatePins, key, value)); };
    };
    const Step steps[] = {
        {"FirstUse", [] {}, 1, "is not verified; accepted and remembered", pin},
        {"SameAgain", [] {}, 2, nullptr, pin},
        {"Changed", write(other), 2, "has changed since it was accepted", other},
        {"OpensslSpelling", write(opensslForm), 3, nullptr, pin},
        {"OtherWithPrefix", write(" SHA256:" + UpperAscii(other)), 3, "has changed since it was accepted", other},
        {"NoFingerprint", write("AB:CD:EF"), 3, "is not a SHA-256 fingerprint", ""},
        {"Accepted", [&] { AcceptNewMailServerCertificate(*core); }, 4, "is not verified; accepted and remembered", pin},
        {"Required", [&] { Edit([](Settings& s) { s.RequireVerifiedCertificate = 1; }); }, 4,
         "cannot be verified (RequireVerifiedCertificate=1)", pin},
    };
    for (const Step& step : steps) {
        step.before();
        host.lines.clear();
        SendNotificationEmail(*core, *addresses);
        EXPECT_EQ(Received(), step.received) << step.what;
        const bool found = std::any_of(host.lines.begin(), host.lines.end(),
                                       [&](const std::string& l) { return step.lineHas && Has(l, step.lineHas); });
        EXPECT_EQ(found, step.lineHas != nullptr) << step.what;
        EXPECT_EQ(StoredCertificatePin(core->ini(), key), step.stored) << step.what;
        if (std::string_view(step.what) == "NoFingerprint") {
            EXPECT_EQ(core->ini().GetString(kCertificatePins, key), "AB:CD:EF") << "the user's value is kept";
        }
    }
}

}  // namespace
