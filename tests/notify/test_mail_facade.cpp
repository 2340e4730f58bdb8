// The mail facade: its operations and their log, the host rule, the TLS
// option rule, the progress sink, the saved log, and sends to a real SMTP
// server on loopback (plain, implicit TLS, STARTTLS, refused recipients).
#include <gtest/gtest.h>

#include <unistd.h>

#include "mail/facade/mail_message.h"
#include "mail/facade/mail_sender.h"
#include "mail/facade/mail_sender_impl.h"
#include "tests/support/smtp_peer.h"

using namespace zelmar::mail;
using namespace zelmar::test;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A port nothing listens on.
int ClosedPort() { return FreePort(); }

}  // namespace

struct HostCase {
    const char* given;
    const char* stored;
};

class SmtpHostRule : public ::testing::TestWithParam<HostCase> {};

TEST_P(SmtpHostRule, LowerCaseWithoutSchemeAndSlashes) {
    MailSender sender;
    sender.SetSmtpHost(GetParam().given);
    EXPECT_STREQ(sender.SmtpHost(), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, SmtpHostRule,
    ::testing::Values(HostCase{"SMTP.Example.COM", "smtp.example.com"},
                      // The prefix is recognised after lower-casing.
                      HostCase{"HTTPS://Mail.Example.com/", "mail.example.com"},
                      HostCase{"http://mail.example.com", "mail.example.com"},
                      // One occurrence of each prefix only; every slash goes.
                      HostCase{"http://a http://b", "a http:b"}, HostCase{"https://https://x/", "https:x"},
                      HostCase{"a/b/c/", "abc"}, HostCase{"", ""}, HostCase{"127.0.0.1", "127.0.0.1"}));

TEST(MailSenderDefaults, LocalhostPort25NoTls) {
    MailSender sender;
    EXPECT_STREQ(sender.SmtpHost(), "localhost");
    EXPECT_EQ(sender.SmtpPort(), 25);
    EXPECT_FALSE(sender.SmtpSsl());
    EXPECT_FALSE(sender.StartTls());
    EXPECT_EQ(sender.LastSmtpStatus(), 0);
}

struct RecipientCase {
    const char* what;
    bool bcc;
    const char* name;
    const char* address;
    bool accepted;
    std::vector<std::string> logged;  // pieces of the operation's XML log
};

class Recipient : public ::testing::TestWithParam<RecipientCase> {};

TEST_P(Recipient, ResultAndLog) {
    const RecipientCase& c = GetParam();
    MailMessage m;
    const std::string before = m.GetMime();
    const bool ok = c.bcc ? m.AddBcc(c.name, c.address) : m.AddTo(c.name, c.address);
    EXPECT_EQ(ok, c.accepted);
    const std::string xml = m.LastErrorXml();
    for (const std::string& piece : c.logged) EXPECT_TRUE(Has(xml, piece)) << piece << " in\n" << xml;
    EXPECT_FALSE(Has(xml, "<DllDate>"));
    if (!c.accepted) {
        EXPECT_EQ(std::string(m.GetMime()), before);  // the message is unchanged
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Recipient,
    ::testing::Values(
        RecipientCase{"ToEmpty", false, "Joe", "", false,
                      {"<AddTo>", "<name>Joe</name>", "<address></address>",
                       "<error>No Email Address was provided</error>"}},
        RecipientCase{"ToBlank", false, "", "   ", false, {"<AddTo>", "No Email Address was provided"}},
        RecipientCase{"BccEmpty", true, "", "", false, {"<AddBcc>", "No Email Address was provided"}},
        RecipientCase{"ToTrimmed", false, "  Joe Bloggs ", "  joe@example.com ", true,
                      {"<AddTo>", "<name>Joe Bloggs</name>", "<address>joe@example.com</address>"}},
        RecipientCase{"Bcc", true, "", " ann@example.com", true, {"<AddBcc>", "<address>ann@example.com</address>"}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(MailMessageOps, AddToPutsTrimmedAddressInTheToField) {
    MailMessage m;
    ASSERT_TRUE(m.AddTo("", " joe@example.com "));
    ASSERT_TRUE(m.AddTo("", "ann@example.com"));
    EXPECT_TRUE(Has(HeaderValue(m.GetMime(), "To"), "joe@example.com"));
    EXPECT_TRUE(Has(HeaderValue(m.GetMime(), "To"), "ann@example.com"));
    EXPECT_FALSE(Has(HeaderValue(m.GetMime(), "To"), " joe@example.com "));
}

TEST(MailMessageOps, NullHtmlIsLogged) {
    MailMessage m;
    m.SetHtmlBody(nullptr);
    const std::string xml = m.LastErrorXml();
    EXPECT_TRUE(Has(xml, "<SetHtmlBody>"));
    EXPECT_TRUE(Has(xml, "<error>HTML string is NULL</error>"));
}

TEST(MailMessageOps, EachCallKeepsOnlyItsOwnStory) {
    MailMessage m;
    m.AddTo("", "");
    m.SetSubject("Hello");
    const std::string xml = m.LastErrorXml();
    EXPECT_FALSE(Has(xml, "AddTo"));
    EXPECT_TRUE(Has(xml, "<SetSubject>"));
}

TEST(MailMessageOps, AttachmentNamedAfterTheFileWithoutFolders) {
    MailMessage m;
    const std::string text = "WAN 203.0.113.7\r\n";
    ASSERT_TRUE(m.AddDataAttachment("/home/ann/mail/ip.txt", reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size()));
    const std::string mime = m.GetMime();
    EXPECT_TRUE(Has(HeaderValue(mime, "Content-Type"), "multipart/mixed"));
    EXPECT_TRUE(Has(mime, "filename=\"ip.txt\""));
    EXPECT_TRUE(Has(mime, "WAN 203.0.113.7"));
}

struct TlsCase {
    bool ssl, startTls;
    int portKind;  // 465 or anything else
    bool expectSsl, expectStartTls;
};

class TlsOptionRule : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsOptionRule, BothOnThePortDecides) {
    const TlsCase& c = GetParam();
    MailSender sender;
    sender.SetSmtpHost("127.0.0.1");
    sender.SetSmtpPort(c.portKind == 465 ? 465 : ClosedPort());
    sender.SetSmtpSsl(c.ssl);
    sender.SetStartTls(c.startTls);
    sender.SetConnectTimeout(2);
    MailMessage m;
    m.SetFrom("zelmar@example.com");
    m.AddTo("", "joe@example.com");
    EXPECT_FALSE(sender.SendEmail(&m));  // nothing listens there
    EXPECT_EQ(sender.SmtpSsl(), c.expectSsl);
    EXPECT_EQ(sender.StartTls(), c.expectStartTls);
    EXPECT_TRUE(Has(sender.LastErrorXml(), "<error>Failed to connect to SMTP server.</error>"));
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsOptionRule,
                         ::testing::Values(TlsCase{true, true, 587, false, true}, TlsCase{true, true, 465, true, false},
                                           TlsCase{true, false, 587, true, false},
                                           TlsCase{false, true, 465, false, true},
                                           TlsCase{false, false, 587, false, false}));

TEST(SendEmail, MissingMessageLeavesTheLogAlone) {
    MailSender sender;
    sender.SetSmtpHost("Example.COM");
    const std::string before = sender.LastErrorXml();
    EXPECT_FALSE(sender.SendEmail(nullptr));
    EXPECT_EQ(std::string(sender.LastErrorXml()), before);
}

TEST(SaveErrorLogXml, WritesTheLastCallsLogAndKeepsIt) {
    ScratchDir dir;
    MailSender sender;
    sender.SetSmtpHost("127.0.0.1");
    sender.SetSmtpPort(ClosedPort());
    MailMessage m;
    m.SetFrom("zelmar@example.com");
    m.AddTo("", "joe@example.com");
    ASSERT_FALSE(sender.SendEmail(&m));
    const std::string xml = sender.LastErrorXml();
    EXPECT_EQ(xml.rfind("<MailLog>\r\n<SendEmail>\r\n", 0), 0u) << xml;
    EXPECT_FALSE(Has(xml, "WSAE")) << "the system's words, not another system's";
    EXPECT_FALSE(sender.SaveErrorLogXml("   "));
    EXPECT_FALSE(sender.SaveErrorLogXml(""));
    EXPECT_FALSE(sender.SaveErrorLogXml(nullptr));
    ASSERT_TRUE(sender.SaveErrorLogXml(("  " + (dir / "SMTPErrors.xml") + " ").c_str()));
    EXPECT_EQ(ReadFile(dir / "SMTPErrors.xml"), xml);
    // Saving is not a call that starts a new story.
    ASSERT_TRUE(sender.SaveErrorLogXml((dir / "again.xml").c_str()));
    EXPECT_EQ(ReadFile(dir / "again.xml"), xml);
    EXPECT_FALSE(sender.SaveErrorLogXml((dir / "no/such/folder.xml").c_str()));
    // A link planted under the name is not written through.
    WriteFile(dir / "victim.txt", "keep me");
    ASSERT_EQ(::symlink((dir / "victim.txt").c_str(), (dir / "linked.xml").c_str()), 0);
    EXPECT_FALSE(sender.SaveErrorLogXml((dir / "linked.xml").c_str()));
    EXPECT_EQ(ReadFile(dir / "victim.txt"), "keep me");
}

struct RedactCase {
    const char* what;
    std::string text;
    std::string login, password;
    std::string expected;
};

class Redaction : public ::testing::TestWithParam<RedactCase> {};

TEST_P(Redaction, NoPasswordInAnyForm) {
    const RedactCase& c = GetParam();
    EXPECT_EQ(redactSecrets(c.text, c.login, c.password), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Redaction,
    ::testing::Values(
        RedactCase{"plainCommand", "<info>AUTH PLAIN AGpvZQBwdw==\r\n235 ok</info>", "joe", "pw",
                   "<info>AUTH PLAIN ********\r\n235 ok</info>"},
        // base64 of "joe\0joe\0s3cret"
        RedactCase{"plainToken", "x am9lAGpvZQBzM2NyZXQ= y", "joe", "s3cret", "x ******** y"},
        // base64 of "s3cret"
        RedactCase{"loginToken", "x czNjcmV0 y", "joe", "s3cret", "x ******** y"},
        RedactCase{"clear", "<v>s3cret</v>", "joe", "s3cret", "<v>********</v>"},
        RedactCase{"shortClearKept", "<error>e</error>", "joe", "e", "<error>e</error>"},
        RedactCase{"noPassword", "<error>x</error>", "", "", "<error>x</error>"},
        // The server's list of mechanisms is no secret: only what the client sent is masked.
        RedactCase{"serverMechanismList",
                   "<helloResponse><![CDATA[250-fake\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 OK]]></helloResponse>\r\n"
                   "<info><![CDATA[250 AUTH PLAIN LOGIN\r\nAUTH PLAIN AGpvZQBwdw==\r\n]]></info>",
                   "joe", "pw",
                   "<helloResponse><![CDATA[250-fake\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 OK]]></helloResponse>\r\n"
                   "<info><![CDATA[250 AUTH PLAIN LOGIN\r\nAUTH PLAIN ********\r\n]]></info>"}),
    [](const auto& info) { return std::string(info.param.what); });

namespace {
struct AbortingSink : MailSenderCallback {
    int progress = 0;
    void SendPercentDone(long, bool& abort) override {
        ++progress;
        abort = true;
    }
};
struct CountingSink : MailSenderCallback {
    std::vector<long> percents;
    int abortQuestions = 0;
    void SendPercentDone(long p, bool&) override { percents.push_back(p); }
    void AbortCheck(bool&) override { ++abortQuestions; }
};
}  // namespace

TEST(SendEmail, TheSinkCanAbortBeforeConnecting) {
    SmtpPeer server;
    ASSERT_TRUE(server.ok());
    MailSender sender;
    AbortingSink sink;
    sender.SetEventCallback(&sink);
    sender.SetSmtpHost("127.0.0.1");
    sender.SetSmtpPort(server.port());
    MailMessage m;
    m.SetFrom("zelmar@example.com");
    m.AddTo("", "joe@example.com");
    EXPECT_FALSE(sender.SendEmail(&m));
    EXPECT_EQ(sink.progress, 1);
    EXPECT_TRUE(Has(sender.LastErrorXml(), "Mail sending aborted by application"));
    EXPECT_EQ(server.Count(), 0);
}

class LoopbackSend : public ::testing::Test {
protected:
    static void Build(MailMessage& m) {
        m.SetBody("WAN 203.0.113.7\r\n.leading dot\r\n");
        m.SetSubject("Addresses");
        m.AddTo("", "joe@example.com");
        m.AddBcc("", "ann@example.com");
        m.SetFrom("Zelmar <zelmar@example.com>");
    }
    static void Point(MailSender& sender, const SmtpPeer& server) {
        sender.SetSmtpHost("127.0.0.1");
        sender.SetSmtpPort(server.port());
        sender.SetReadTimeout(10);
        sender.SetConnectTimeout(10);
    }
};

TEST_F(LoopbackSend, DeliversWithProgressAndLeavesTheMessageAlone) {
    SmtpPeer server;
    ASSERT_TRUE(server.ok());
    MailSender sender;
    CountingSink sink;
    sender.SetEventCallback(&sink);
    Point(sender, server);
    MailMessage m;
    Build(m);
    const std::string before = m.GetMime();
    ASSERT_TRUE(sender.SendEmail(&m)) << sender.LastErrorXml();
    EXPECT_EQ(sender.LastSmtpStatus(), 250);
    ASSERT_EQ(server.Count(), 1);
    EXPECT_TRUE(Has(server.Meta(1), "\"rcpt_tos\": [\"joe@example.com\", \"ann@example.com\"]")) << server.Meta(1);
    EXPECT_TRUE(Has(server.Meta(1), "\"mail_from\": \"zelmar@example.com\""));
    const std::string raw = server.Raw(1);
    EXPECT_EQ(HeaderValue(raw, "Return-Path"), "");
    EXPECT_EQ(HeaderValue(raw, "Bcc"), "");
    EXPECT_EQ(HeaderNames(raw).back(), "Message-ID");
    EXPECT_TRUE(Has(BodyOf(raw), "WAN 203.0.113.7\r\n")) << raw;
    const std::string xml = sender.LastErrorXml();
    EXPECT_TRUE(Has(xml, "<NumAccepted>2</NumAccepted>"));
    EXPECT_TRUE(Has(xml, "<NumRejected>0</NumRejected>"));
    EXPECT_FALSE(sink.percents.empty());
    EXPECT_GT(sink.abortQuestions, 0);
    // The caller's message is the same as before the send.
    EXPECT_EQ(std::string(m.GetMime()), before);
    EXPECT_NE(HeaderValue(before, "Return-Path"), "");
}

TEST_F(LoopbackSend, EveryRecipientRefusedFailsWithCounts) {
    SmtpPeer::Options o;
    o.refuse = {"joe@example.com", "ann@example.com"};
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok());
    MailSender sender;
    Point(sender, server);
    MailMessage m;
    Build(m);
    EXPECT_FALSE(sender.SendEmail(&m));
    const std::string xml = sender.LastErrorXml();
    EXPECT_TRUE(Has(xml, "<NumSuccess>0</NumSuccess>")) << xml;
    EXPECT_TRUE(Has(xml, "<NumTotal>2</NumTotal>"));
    EXPECT_TRUE(Has(xml, "<error>Send failed.</error>"));
    EXPECT_EQ(sender.NumRefused(), 2);
    EXPECT_EQ(server.Count(), 0);
}

TEST_F(LoopbackSend, OneRefusedRecipientIsReportedAndTheRestGetTheMail) {
    SmtpPeer::Options o;
    o.refuse = {"ann@example.com"};
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok());
    MailSender sender;
    Point(sender, server);
    MailMessage m;
    Build(m);
    ASSERT_TRUE(sender.SendEmail(&m)) << sender.LastErrorXml();
    ASSERT_EQ(sender.NumRefused(), 1);
    EXPECT_STREQ(sender.RefusedAddress(0), "ann@example.com");
    EXPECT_EQ(sender.RefusedAddress(1), nullptr);
    EXPECT_TRUE(Has(sender.LastErrorXml(), "<NumRejected>1</NumRejected>"));
    EXPECT_EQ(server.Count(), 1);
}

struct SecureCase {
    const char* what;
    bool implicitTls;
};

class SecureSend : public LoopbackSend, public ::testing::WithParamInterface<SecureCase> {};

TEST_P(SecureSend, LogsInOverTls) {
    SmtpPeer::Options o;
    o.login = "joe:s3cret pw";
    o.implicitTls = GetParam().implicitTls;
    o.startTls = !GetParam().implicitTls;
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok());
    MailSender sender;
    Point(sender, server);
    if (GetParam().implicitTls)
        sender.SetSmtpSsl(true);
    else
        sender.SetStartTls(true);
    sender.SetSmtpUsername("joe");
    sender.SetSmtpPassword("s3cret pw");
    MailMessage m;
    Build(m);
    ASSERT_TRUE(sender.SendEmail(&m)) << sender.LastErrorXml();
    ASSERT_EQ(server.Count(), 1);
    EXPECT_TRUE(Has(server.Meta(1), "\"tls\": true")) << server.Meta(1);
    EXPECT_TRUE(Has(server.Meta(1), "\"login\": \"joe\""));
}

INSTANTIATE_TEST_SUITE_P(Modes, SecureSend, ::testing::Values(SecureCase{"implicit", true}, SecureCase{"starttls", false}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(LoopbackSend, WrongPasswordFailsAndTheSavedLogHoldsNoPassword) {
    SmtpPeer::Options o;
    o.login = "joe:right";
    o.plainOnly = true;
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok());
    ScratchDir dir;
    MailSender sender;
    Point(sender, server);
    sender.SetSmtpUsername("joe");
    sender.SetSmtpPassword("Wr0ngPassw0rd");
    MailMessage m;
    Build(m);
    EXPECT_FALSE(sender.SendEmail(&m));
    ASSERT_TRUE(sender.SaveErrorLogXml((dir / "SMTPErrors.xml").c_str()));
    const std::string saved = ReadFile(dir / "SMTPErrors.xml");
    EXPECT_TRUE(Has(saved, "The SMTP server refused the login.")) << saved;
    EXPECT_FALSE(Has(saved, "Failed to connect to SMTP server.")) << "it was connected";
    EXPECT_FALSE(Has(saved, "Wr0ngPassw0rd"));
    // What the send returns names the step and the server's refusal, not
    // the answer to the QUIT that followed it.
    const zelmar::TransferResult result = sender.Send(&m);
    EXPECT_EQ(result.step, "login");
    EXPECT_EQ(result.code, "535");
    EXPECT_EQ(result.serverReply.rfind("535 ", 0), 0u) << result.serverReply;
    EXPECT_FALSE(Has(saved, "V3IwbmdQYXNzdzByZA"));          // base64 of the password
    EXPECT_FALSE(Has(saved, "am9lAGpvZQBXcjBuZ1Bhc3N3MHJk"));  // AUTH PLAIN token
    EXPECT_EQ(server.Count(), 0);
}

TEST(MailMessageOps, PlainBodyAfterHtmlTurnsTheTypeBackKeepingTheCharset) {
    MailMessage m;
    m.SetUtf8(true);
    m.SetHtmlBody("<html><body>Gr\xc3\xbc\xc3\x9f""e</body></html>");
    ASSERT_TRUE(Has(HeaderValue(m.GetMime(), "Content-Type"), "text/html"));
    const std::string charsetBefore = HeaderValue(m.GetMime(), "Content-Type").substr(9);
    m.SetBody("plain text");
    const std::string type = HeaderValue(m.GetMime(), "Content-Type");
    EXPECT_EQ(type.rfind("text/plain", 0), 0u) << type;
    EXPECT_EQ(type.substr(10), charsetBefore) << type;
    EXPECT_TRUE(Has(BodyOf(m.GetMime()), "plain text"));
}

TEST(MailStringTest, C_LocaleTextCountsAsUtf8) {
    // The tests run in the C locale: its text is taken as UTF-8, as on
    // most Linux systems under a bare service environment.
    MailString a;
    MailString b;
    b.SetUtf8(true);
    a.SetString("Gr\xc3\xbc\xc3\x9f""e");
    b.SetString("Gr\xc3\xbc\xc3\x9f""e");
    EXPECT_STREQ(a.GetString(), b.GetString());
    EXPECT_STREQ(a.GetString(), "Gr\xc3\xbc\xc3\x9f""e");
    a.SetString(nullptr);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_STREQ(a.GetString(), "");
}
