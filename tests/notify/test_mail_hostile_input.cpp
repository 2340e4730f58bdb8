// Recipient and sender texts as users type them, and hostile ones, sent
// through the facade to a real server (aiosmtpd): what the server was told
// in the envelope, and what Python's email package reads in the message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "mail/facade/mail_message.h"
#include "mail/facade/mail_sender.h"
#include "tests/support/smtp_peer.h"
#include "tests/support/json_text.h"

using namespace zelmar::mail;
using namespace zelmar::test;

#ifndef ZELMAR_PY_CHECKER
#error "ZELMAR_PY_CHECKER must name the checker script"
#endif

namespace {

std::string Json(std::string_view s) { return zelmar::test::JsonQuote(s); }

using Named = std::pair<std::string, std::string>;

struct InputRow {
    const char* label;
    std::string from;
    std::vector<std::string> pieces;  // each given to AddTo as the address
    std::vector<bool> taken;          // what AddTo answered for each piece
    std::string subject, body;        // as the caller gives them (bytes)
    std::string envelope;             // MAIL FROM and RCPTs the server got
    std::vector<Named> to;            // as Python reads the To field
    Named readFrom;
    std::string readSubject, readBody;
};

void PrintTo(const InputRow& r, std::ostream* os) { *os << r.label; }

std::vector<InputRow> Rows() {
    const std::string from = "Zelmar <z@x.test>";
    const Named z{"Zelmar", "z@x.test"};
    std::vector<InputRow> v = {
        {"DisplayNameForm", from, {"Second Person <second@x.test>"}, {true}, "s", "b\r\n",
         "z@x.test\nsecond@x.test\n", {{"Second Person", "second@x.test"}}, z, "s", "b\n"},
        {"ParameterInjectionRefused", from, {"carol@example.org> NOTIFY=NEVER ORCPT=rfc822;x", "ok@x.test"},
         {false, true}, "s", "b\r\n", "z@x.test\nok@x.test\n", {{"", "ok@x.test"}}, z, "s", "b\n"},
        {"BrokenPiecesRefused", from, {"<a@b", "a, b", "x@y.test", "a@b c@d"}, {false, false, true, false}, "s",
         "b\r\n", "z@x.test\nx@y.test\n", {{"", "x@y.test"}}, z, "s", "b\n"},
        {"CommaListGivesSeveral", from, {" a@x.test, Bob <b@x.test>, "}, {true}, "s", "b\r\n",
         "z@x.test\na@x.test\nb@x.test\n", {{"", "a@x.test"}, {"Bob", "b@x.test"}}, z, "s", "b\n"},
        {"QuotedNamesKept", "\"Zelmar \\\"Admin\\\"\" <z@x.test>", {"Bob \"the boss\" <bob@x.test>"}, {true}, "s",
         "b\r\n", "z@x.test\nbob@x.test\n", {{"Bob the boss", "bob@x.test"}}, {"Zelmar \"Admin\"", "z@x.test"}, "s",
         "b\n"},
        {"InternationalDomain", from, {"M\xC3\xBCller <user@b\xC3\xBC" "cher.example>"}, {true}, "s", "b\r\n",
         "z@x.test\nuser@xn--bcher-kva.example\n", {{"M\xC3\xBCller", "user@xn--bcher-kva.example"}}, z, "s", "b\n"},
        // IDNA2008, non-transitional: the sharp s is kept, not mapped to "ss".
        {"SharpSKeptInTheDomain", from, {"user@stra\xC3\x9F" "e.example"}, {true}, "s", "b\r\n",
         "z@x.test\nuser@xn--strae-oqa.example\n", {{"", "user@xn--strae-oqa.example"}}, z, "s", "b\n"},
        // A text without a final line break gets none added on the way.
        {"NoFinalLineBreakAdded", from, {"a@x.test"}, {true}, "s", "Hello,\r\n\r\nMy FTP Site\r\nline",
         "z@x.test\na@x.test\n", {{"", "a@x.test"}}, z, "s", "Hello,\n\nMy FTP Site\nline"},
        // Latin-1 bytes from a legacy editor are read as such and labelled so.
        {"Latin1Text", from, {"a@x.test"}, {true}, "Gr\xFC\xDF" "e", "K\xF6ln \x80 5\r\n", "z@x.test\na@x.test\n",
         {{"", "a@x.test"}}, z, "Gr\xC3\xBC\xC3\x9F" "e", "K\xC3\xB6ln \xE2\x82\xAC 5\n"},
    };
    // A long subject of 8-bit words (encoded words of at most 75
    // characters) and forty recipients with names (a To field folded
    // between addresses, no line over 998 octets; the checker checks both).
    InputRow many{"FortyRecipientsLongSubject", from, {}, {}, "", "b\r\n", "z@x.test\n", {}, z, "", "b\n"};
    for (int i = 0; i < 40; ++i) {
        const std::string addr = "user" + std::to_string(i) + "@example.org";
        // Every other name with 8-bit text, which takes the encoded path.
        const std::string name = (i % 2 ? "Person M\xC3\xBCller " : "Person Number ") + std::to_string(i);
        many.pieces.push_back(name + " <" + addr + ">");
        many.taken.push_back(true);
        many.envelope += addr + "\n";
        many.to.push_back({name, addr});
    }
    for (int i = 0; i < 12; ++i) many.subject += "Gr\xC3\xBC\xC3\x9F" "e ";
    many.subject += "end";
    many.readSubject = many.subject;
    v.push_back(many);
    return v;
}

class HostileInput : public ::testing::TestWithParam<InputRow> {};

TEST_P(HostileInput, ServerAndReaderSeeWhatWasMeant) {
    const InputRow& r = GetParam();
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3";
    SmtpPeer server;
    ASSERT_TRUE(server.ok()) << server.Log();
    MailSender sender;
    MailMessage m;
    sender.SetSmtpHost("127.0.0.1");
    sender.SetSmtpPort(server.port());
    // The facade's own conversion of the caller's text (a UTF-8 locale).
    ASSERT_TRUE(m.SetFrom(r.from.c_str()));
    for (std::size_t i = 0; i < r.pieces.size(); ++i) EXPECT_EQ(m.AddTo("", r.pieces[i].c_str()), r.taken[i]) << i;
    m.SetSubject(r.subject.c_str());
    m.SetBody(r.body.c_str());
    ASSERT_TRUE(sender.SendEmail(&m)) << sender.LastErrorText();
    ASSERT_EQ(server.Count(), 1);
    EXPECT_EQ(server.Envelope(1), r.envelope);

    std::string exp = "{\"name\": " + Json(r.label) + ", \"subject\": " + Json(r.readSubject) + ", \"to\": [";
    for (std::size_t i = 0; i < r.to.size(); ++i)
        exp += (i ? ", [" : "[") + Json(r.to[i].first) + ", " + Json(r.to[i].second) + "]";
    exp += "], \"from\": [" + Json(r.readFrom.first) + ", " + Json(r.readFrom.second) +
           "], \"html\": false, \"body\": " + Json(r.readBody) + ", \"attachments\": []}";
    ScratchDir dir;
    WriteFile(dir / "msg.eml", server.Raw(1));
    WriteFile(dir / "exp.json", exp);
    WriteFile(dir / "list", (dir / "msg.eml") + " " + (dir / "exp.json") + "\n");
    const std::string cmd = std::string("/usr/bin/python3 ") + ZELMAR_PY_CHECKER + " < " + (dir / "list") + " > " +
                            (dir / "result") + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << ReadFile(dir / "result") << "\n--- message ---\n"
                                           << server.Raw(1).substr(0, 6000);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.label); });

// Refused before anything is sent, with a sentence for the user.
TEST(HostileInput, OneSenderOnly) {
    MailMessage m;
    EXPECT_FALSE(m.SetFrom("bob@example.org, eve@example.org"));
    EXPECT_TRUE(m.SetFrom("Bob <bob@example.org>"));
}

// aiosmtpd offers SMTPUTF8: a UTF-8 local part goes with it (the refusal
// without it is in the session's fault table).
TEST(HostileInput, Utf8LocalPartGoesWithSmtpUtf8) {
    SmtpPeer server;
    ASSERT_TRUE(server.ok()) << server.Log();
    MailSender sender;
    MailMessage m;
    sender.SetSmtpHost("127.0.0.1");
    sender.SetSmtpPort(server.port());
    m.SetFrom("z@x.test");
    ASSERT_TRUE(m.AddTo("", "J\xC3\xBCrgen <j\xC3\xBCrgen@b\xC3\xBC" "cher.example>"));
    m.SetBody("b");
    ASSERT_TRUE(sender.SendEmail(&m)) << sender.LastErrorText();
    EXPECT_EQ(server.Envelope(1), "z@x.test\nj\xC3\xBCrgen@xn--bcher-kva.example\n");
    EXPECT_STREQ(sender.FailureText(), "");
}

}  // namespace
