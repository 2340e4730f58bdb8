// The message model: the three messages the program sends, pinned byte for
// byte, and one table per rule family (Content-Type builder, attachments,
// HTML completion, envelope sender, the Latin-1 repair, dates, identifiers,
// the send copy, the parser on hostile text).
#include <gtest/gtest.h>

#include <set>

#include "mail/base/r250.h"
#include "mail/mime/mime_parser.h"
#include "tests/mail/email2_fixture.h"

using namespace zelmar::mail;
using namespace zelmar::mail::testing;

namespace {

MessageSpec plainSpec() {
    MessageSpec s;
    s.subject = "IP changed";
    s.body = "Your address is 1.2.3.4\r\n";
    s.to = {{"", "a@x.test"}, {"Bob B", "b@x.test"}};
    s.from = "Zelmar <z@x.test>";
    return s;
}

MessageSpec attachmentSpec() {
    MessageSpec s = plainSpec();
    s.body = "";
    s.attachName = "C:\\dir\\Online.txt";
    s.attachBytes = "IP 1.2.3.4\r\n";
    return s;
}

struct PinnedCase {
    const char* label;
    MessageSpec spec;
    const char* want;
};
class SentText : public ::testing::TestWithParam<PinnedCase> {};
TEST_P(SentText, MatchesFieldOrderAndForms) {
    DeterministicSeam seam;
    auto m = buildMessage(GetParam().spec);
    EXPECT_EQ(renderForSend(*m), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(
    Messages, SentText,
    ::testing::Values(
    PinnedCase{"Plain", plainSpec(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Content-Type: text/plain\r\n"
        "Subject: IP changed\r\n"
        "To: a@x.test, \"Bob B\" <b@x.test>\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001001-abcd-ef01-2345-6789abcdef01@host.test>\r\n"
        "\r\n"
        "Your address is 1.2.3.4\r\n"
        ""},
    PinnedCase{"Html", [] { auto s = plainSpec(); s.html = true; s.body = "<p>Your address is 1.2.3.4</p>"; return s; }(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Content-Type: text/html\r\n"
        "Subject: IP changed\r\n"
        "To: a@x.test, \"Bob B\" <b@x.test>\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001001-abcd-ef01-2345-6789abcdef01@host.test>\r\n"
        "\r\n"
        "<html><head><META http-equiv=3D\"Content-Type\" content=3D\"text/html;chars=\r\n"
        "et=3Dutf-8\"></head><body><p>Your address is 1.2.3.4</p></body></html>"},
    PinnedCase{"Attachment", attachmentSpec(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Type: multipart/mixed;\r\n"
        "\tboundary=\"-----_zelmail_000_0100_abcdef01.6789abcd_.MIX\"\r\n"
        "Subject: IP changed\r\n"
        "To: a@x.test, \"Bob B\" <b@x.test>\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001002-abcd-ef01-2345-6789abcdef02@host.test>\r\n"
        "\r\n"
        "This is a multi-part message in MIME format.\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX\r\n"
        "Content-Type: text/plain\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX\r\n"
        "Content-Type: text/plain;\r\n"
        "\tname=\"Online.txt\"\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Content-Disposition: attachment;\r\n"
        "\t filename=\"Online.txt\"\r\n"
        "\r\n"
        "IP 1.2.3.4\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX--\r\n"
        ""},
    PinnedCase{"PlainBccOnly", [] { auto s = plainSpec(); s.to = {}; s.bcc = {{"", "q@x.test"}}; return s; }(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Content-Type: text/plain\r\n"
        "Subject: IP changed\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001001-abcd-ef01-2345-6789abcdef01@host.test>\r\n"
        "\r\n"
        "Your address is 1.2.3.4\r\n"
        ""},
    PinnedCase{"Latin1BodyAndName", [] { auto s = plainSpec(); s.subject = "Gr\xC3\xBC\xC3\x9F" "e"; s.body = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\r\n"; s.to = {{"J\xC3\xBCrgen", "j@x.test"}}; return s; }(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Type: text/plain;\r\n"
        "\t charset=\"iso-8859-1\"\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\n"
        "To: =?iso-8859-1?Q?J=FCrgen?= <j@x.test>\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001001-abcd-ef01-2345-6789abcdef01@host.test>\r\n"
        "\r\n"
        "Gr=FC=DFe aus K=F6ln\r\n"
        ""},
    PinnedCase{"AsciiBodyUtf8Subject", [] { auto s = plainSpec(); s.subject = "Se\xC3\xB1or \xC5\x81ukasz"; return s; }(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "Content-Type: text/plain;\r\n"
        "\t charset=\"utf-8\"\r\n"
        "Subject: =?utf-8?Q?Se=C3=B1or_=C5=81ukasz?=\r\n"
        "To: a@x.test, \"Bob B\" <b@x.test>\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001001-abcd-ef01-2345-6789abcdef01@host.test>\r\n"
        "\r\n"
        "Your address is 1.2.3.4\r\n"
        ""},
    PinnedCase{"AttachmentCjkSubjectBcc", [] { auto s = attachmentSpec(); s.subject = "\xE5\x9C\xB0\xE5\x9D\x80"; s.attachName = "pic.png"; s.attachBytes = std::string("\x89PNG\r\n\x1a\n\0\0\xff", 11); s.to = {}; s.bcc = {{"", "q@x.test"}}; return s; }(),
        "MIME-Version: 1.0\r\n"
        "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
        "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
        "X-Priority: 3 (Normal)\r\n"
        "Content-Type: multipart/mixed;\r\n"
        "\tboundary=\"-----_zelmail_000_0100_abcdef01.6789abcd_.MIX\"\r\n"
        "Subject: =?utf-8?Q?=E5=9C=B0=E5=9D=80?=\r\n"
        "From: \"Zelmar\" <z@x.test>\r\n"
        "Message-ID: <ZELMAIL-MID-00001002-abcd-ef01-2345-6789abcdef02@host.test>\r\n"
        "\r\n"
        "This is a multi-part message in MIME format.\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX\r\n"
        "Content-Type: text/plain\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX\r\n"
        "Content-Type: image/png;\r\n"
        "\t name=\"pic.png\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment;\r\n"
        "\t filename=\"pic.png\"\r\n"
        "\r\n"
        "iVBORw0KGgoAAP8=\r\n"
        "\r\n"
        "-------_zelmail_000_0100_abcdef01.6789abcd_.MIX--\r\n"
        ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(NewMessage, RendersTheSevenDefaultFieldsAndNothingElse) {
    DeterministicSeam seam;
    Email2 m;
    LogNull log;
    std::string out;
    m.renderMime(out, "", log);
    EXPECT_EQ(out,
              "MIME-Version: 1.0\r\n"
              "Date: Sun, 06 Dec 2026 13:46:29 +0100\r\n"
              "Message-ID: <ZELMAIL-MID-00001000-abcd-ef01-2345-6789abcdef00@host.test>\r\n"
              "Content-Type: text/plain\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "X-Mailer: Zelmar Mail Component 0.1 (http://zelmar.example)\r\n"
              "X-Priority: 3 (Normal)\r\n\r\n");
}

TEST(Recipients, EmptyAddressIsRefusedAndBccWritesNoField) {
    Email2 m;
    EXPECT_FALSE(m.addTo("Nobody", "  "));
    EXPECT_FALSE(m.addBcc("Nobody", ""));
    EXPECT_FALSE(m.hasHeaderField("To"));
    EXPECT_TRUE(m.addBcc("", "b@x.test"));
    EXPECT_TRUE(m.addCc("C", "c@x.test"));
    EXPECT_TRUE(m.addCc("", "d@x.test"));
    StringBuffer v;
    EXPECT_FALSE(m.hasHeaderField("Bcc"));
    ASSERT_TRUE(m.getHeaderField("Cc", v));
    EXPECT_EQ(v.str(), "\"C\" <c@x.test>, d@x.test");
    EXPECT_TRUE(m.getCcAddr(1, v));
    EXPECT_EQ(v.str(), "d@x.test");
    EXPECT_FALSE(m.getCcAddr(2, v));
    EXPECT_FALSE(m.getToAddr(0, v));
    m.removeHeaderField("cc");
    EXPECT_EQ(m.getNumCc(), 0);
}

struct TypeCase {
    const char* type;
    const char* name;
    int charsetCp;
    const char* boundary;
    const char* typeParam;
    const char* stored;
};
class ContentTypeBuilder : public ::testing::TestWithParam<TypeCase> {};
TEST_P(ContentTypeBuilder, StoresOneLine) {
    Email2 m(Email2::Bare{});
    const auto& c = GetParam();
    Charset cs;
    cs.setByCodePage(c.charsetCp);
    m.setContentType(c.type, c.name, "", "", c.charsetCp ? &cs : nullptr, c.boundary, "", c.typeParam);
    StringBuffer v;
    ASSERT_TRUE(m.getHeaderField("Content-Type", v));
    EXPECT_EQ(v.str(), c.stored);
}
INSTANTIATE_TEST_SUITE_P(
    Values, ContentTypeBuilder,
    ::testing::Values(TypeCase{"text/plain", "", 0, "", "", "text/plain"},
                      TypeCase{"text/plain", "", 28591, "", "", "text/plain; charset=\"iso-8859-1\""},
                      TypeCase{"", "", 0, "", "", "text/plain"},
                      // A charset belongs to text types only.
                      TypeCase{"application/pdf", "a.pdf", 28591, "", "", "application/pdf;name=\"a.pdf\""},
                      TypeCase{"multipart/mixed", "", 0, "B", "", "multipart/mixed;boundary=\"B\""},
                      TypeCase{"multipart/related", "", 0, "B", "text/html", "multipart/related;boundary=\"B\""},
                      TypeCase{"text/html", "x.htm", 65001, "", "", "text/html; charset=\"utf-8\";name=\"x.htm\""}));

TEST(ContentTypeBuilder, SetCharsetMovesTheFieldToTheEndAndKeepsTheRest) {
    Email2 m;
    Charset cs;
    cs.setByCodePage(28592);
    m.setCharset(cs);
    EXPECT_EQ(m.header().fieldAt(m.header().fieldCount() - 1)->getValue().str(), "text/plain; charset=\"iso-8859-2\"");
    m.removeHeaderField("Content-Type");
    EXPECT_FALSE(m.getCharset().isSet());
}

struct AttachCase {
    const char* file;
    const char* given;
    const char* type;
    const char* name;
    const char* cte;
};
class Attachments : public ::testing::TestWithParam<AttachCase> {};
TEST_P(Attachments, NameTypeAndEncoding) {
    Email2 m;
    const auto& c = GetParam();
    ASSERT_TRUE(m.addDataAttachment(c.file, c.given, "data"));
    ASSERT_EQ(m.getNumParts(), 2u);
    const Email2* p = m.getPart(1);
    EXPECT_EQ(p->getContentType().str(), c.type);
    EXPECT_EQ(p->getName().str(), c.name);
    EXPECT_EQ(p->getFilename().str(), c.name);
    EXPECT_EQ(p->getTransferEncoding().str(), c.cte);
    EXPECT_EQ(p->getDisposition().str(), "attachment");
    ASSERT_EQ(p->header().fieldCount(), 3u);
    EXPECT_EQ(p->header().fieldAt(0)->getName().str(), "Content-Type");
    EXPECT_EQ(p->header().fieldAt(1)->getName().str(), "Content-Transfer-Encoding");
    EXPECT_EQ(p->header().fieldAt(2)->getName().str(), "Content-Disposition");
    EXPECT_EQ(m.getContentType().str(), "multipart/mixed");
    EXPECT_TRUE(m.getBoundary().view().ends_with("_.MIX"));
    EXPECT_EQ(m.getBoundary().getSize(), 45u);
    EXPECT_FALSE(m.hasHeaderField("Content-Transfer-Encoding"));
}
INSTANTIATE_TEST_SUITE_P(
    Files, Attachments,
    ::testing::Values(AttachCase{"", "", "application/octet-stream", "attach.dat", "base64"},
                      AttachCase{"/var/tmp/Page.HTML", "", "text/html", "Page.HTML", "quoted-printable"},
                      AttachCase{"C:\\x\\notes.txt", "", "text/plain", "notes.txt", "quoted-printable"},
                      AttachCase{"a.b/c", "", "application/octet-stream", "c", "base64"},
                      AttachCase{"dir/", "", "application/octet-stream", "attach.dat", "base64"},
                      AttachCase{"odd.qqq", "", "application/octet-stream", "odd.qqq", "base64"},
                      AttachCase{"x.pdf", " image/gif ", "image/gif", "x.pdf", "base64"},
                      AttachCase{"f.cdf", "", "application/x-cdf", "f.cdf", "base64"},
                      AttachCase{"s.p7m", "", "application/x-pkcs7-mime", "s.p7m", "base64"},
                      AttachCase{"m.mhtml", "", "message/rfc822", "m.mhtml", "base64"},
                      AttachCase{"x.cpp", "", "text/plain", "x.cpp", "quoted-printable"}));

TEST(ExtensionTable, HoldsAllRowsInOrder) {
    std::size_t n = 0;
    const ExtensionType* t = extensionTable(n);
    ASSERT_EQ(n, 194u);
    EXPECT_STREQ(t[0].ext, "evy");
    EXPECT_STREQ(t[9].ext, "*");
    EXPECT_STREQ(t[193].ext, "xof");
    std::set<std::string> seen, twice;
    for (std::size_t i = 0; i < n; ++i)
        if (!seen.insert(t[i].ext).second) twice.insert(t[i].ext);
    EXPECT_EQ(twice, (std::set<std::string>{"cdf", "p7c", "p7m"}));
    for (auto [ext, type] : {std::pair{"*", "application/octet-stream"}, {"bin", "application/octet-stream"},
                             {"exe", "application/octet-stream"}, {"class", "application/octet-stream"},
                             {"pdf", "application/pdf"}, {"zip", "application/zip"}, {"gif", "image/gif"},
                             {"jpg", "image/jpeg"}, {"png", "image/png"}, {"mht", "message/rfc822"},
                             {"htm", "text/html"}, {"bas", "text/plain"}, {"h", "text/plain"}, {"hpp", "text/plain"}})
        EXPECT_EQ(mediaTypeForExtension(ext), type) << ext;
}

struct HtmlCase {
    const char* in;
    const char* stored;
};
class HtmlCompletion : public ::testing::TestWithParam<HtmlCase> {};
TEST_P(HtmlCompletion, CompletesAndDeclaresTheCharset) {
    Email2 m;
    m.setHtmlBody(GetParam().in);
    EXPECT_EQ(m.getBody().str(), GetParam().stored);
    EXPECT_EQ(m.getContentType().str(), "text/html");
    EXPECT_EQ(m.getTransferEncoding().str(), "quoted-printable");
}
#define META(cs) "<META http-equiv=\"Content-Type\" content=\"text/html;charset=" cs "\">"
INSTANTIATE_TEST_SUITE_P(
    Documents, HtmlCompletion,
    ::testing::Values(HtmlCase{"<p>x</p>", "<html><head>" META("utf-8") "</head><body><p>x</p></body></html>"},
                      HtmlCase{"<HTML><BODY>x</BODY></HTML>",
                               "<html><head>" META("utf-8") "</head><body>x</BODY></HTML>"},
                      HtmlCase{"<html><head><title>t</title></head><body>x</body></html>",
                               "<html><head>" META("utf-8") "<title>t</title></head><body>x</body></html>"},
                      HtmlCase{"<html><head><meta http-equiv=\"content-type\" content=\"text/html; charset=koi8-r\">"
                               "</head><body>x</body></html>",
                               "<html><head><meta http-equiv=\"content-type\" content=\"text/html; charset=koi8-r\">"
                               "</head><body>x</body></html>"}));

TEST(HtmlBody, LatinTextGetsItsCharsetInTheMetaWhenWritten) {
    DeterministicSeam seam;
    Email2 m;
    Charset cs;
    cs.setByCodePage(28591);
    m.setCharset(cs);
    m.setHtmlBody("<p>caf\xC3\xA9</p>");
    LogNull log;
    std::string out;
    m.renderMime(out, "", log);
    StringBuffer unbroken(out);
    unbroken.replaceAll("=\r\n", "");
    EXPECT_NE(unbroken.str().find("charset=3Diso-8859-1\""), std::string::npos) << out;
    EXPECT_NE(out.find("caf=E9"), std::string::npos) << out;
}

TEST(TextBody, AlternativePartsKeepPlainFirstAndReplaceTheirOwnType) {
    Email2 m;
    m.setContentType("multipart/alternative", "", "", "", nullptr, "B_.ALT", "", "");
    m.setTextBody("<p>one</p>", true);
    m.setTextBody("plain one", false);
    m.setTextBody("plain two", false);
    ASSERT_EQ(m.getNumParts(), 2u);
    EXPECT_EQ(m.getPart(0)->getContentType().str(), "text/plain");
    EXPECT_EQ(m.getPart(0)->getBody().str(), "plain two");
    EXPECT_EQ(m.getPart(1)->getContentType().str(), "text/html");
    EXPECT_EQ(m.getPart(1)->getBody().str(), "<p>one</p>");

    // Under multipart/mixed the text goes to the first part, with a charset
    // chosen there when the bytes are 8-bit.
    Email2 mixed;
    mixed.addDataAttachment("a.bin", "", "x");
    mixed.setTextBody("K\xC3\xB6ln", false);
    EXPECT_EQ(mixed.getPart(0)->getBody().str(), "K\xC3\xB6ln");
    EXPECT_EQ(mixed.getPart(0)->getCharset().getName().str(), "iso-8859-1");
    EXPECT_EQ(mixed.getPart(0)->getTransferEncoding().str(), "quoted-printable");
    EXPECT_EQ(mixed.getNumParts(), 2u);
}

struct SenderCase {
    const char* returnPath;
    const char* from;
    const char* replyTo;
    const char* want;
};
class EnvelopeSender : public ::testing::TestWithParam<SenderCase> {};
TEST_P(EnvelopeSender, FirstNonEmptySource) {
    Email2 m(Email2::Bare{});
    const auto& c = GetParam();
    if (*c.replyTo) m.setHeaderField("Reply-To", c.replyTo);
    if (*c.from) m.setFrom(c.from);
    if (*c.returnPath) m.setHeaderField("Return-Path", c.returnPath);
    StringBuffer out;
    m.getEnvelopeSender(out);
    EXPECT_EQ(out.str(), c.want);
}
INSTANTIATE_TEST_SUITE_P(
    Sources, EnvelopeSender,
    ::testing::Values(SenderCase{"", "Z <z@x.test>", "", "z@x.test"},  // setFrom wrote Return-Path
                      SenderCase{" <bounce@x.test> ", "Z <z@x.test>", "", "bounce@x.test"},
                      // A Reply-To with a name gives its address, not the name and address run together.
                      SenderCase{"", "", "R <r@x.test>", "r@x.test"}, SenderCase{"", "", "<r@x.test>", "r@x.test"}, SenderCase{"", "not an address", "", ""},
                      SenderCase{"", "", "", ""}));

struct RepairCase {
    const char* label;
    std::string body;
    const char* contentType;
    const char* written;
};
class UntaggedEightBit : public ::testing::TestWithParam<RepairCase> {};
TEST_P(UntaggedEightBit, IsLabelledAndWrittenInThatCharset) {
    LogNull log;
    // A body stored as it came, with no charset (as a parsed message has).
    auto loaded = Email2::createFromMimeText("Content-Type: text/plain\r\n\r\n" + GetParam().body, log);
    ASSERT_TRUE(loaded);
    std::string out;
    loaded->renderMime(out, "", log);
    EXPECT_EQ(out, std::string("Content-Type: ") + GetParam().contentType +
                       "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + GetParam().written);
}
INSTANTIATE_TEST_SUITE_P(
    Bodies, UntaggedEightBit,
    ::testing::Values(RepairCase{"LatinBytes", "caf\xE9", "text/plain;\r\n\t charset=\"iso-8859-1\"", "caf=E9"},
                      // The top of the Latin-1 range alone is Latin-1 too.
                      RepairCase{"OnlyYDiaeresis", "\xFF", "text/plain;\r\n\t charset=\"iso-8859-1\"", "=FF"},
                      RepairCase{"Utf8Latin", "caf\xC3\xA9", "text/plain;\r\n\t charset=\"iso-8859-1\"", "caf=E9"},
                      // UTF-8 with no Latin-1 form keeps its bytes under a true label.
                      RepairCase{"Utf8Beyond", "\xC3\xA9\xC5\x81", "text/plain;\r\n\t charset=\"utf-8\"",
                                 "=C3=A9=C5=81"}),
    [](const auto& info) { return std::string(info.param.label); });

struct DateCase {
    int wday, mday, mon, year, hour, min, sec;
    long offsetSeconds;
    const char* want;
};
class DateFormat : public ::testing::TestWithParam<DateCase> {};
TEST_P(DateFormat, EnglishNamesAndZone) {
    const auto& c = GetParam();
    std::tm t{};
    t.tm_wday = c.wday;
    t.tm_mday = c.mday;
    t.tm_mon = c.mon;
    t.tm_year = c.year - 1900;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    EXPECT_EQ(formatMailDate(t, c.offsetSeconds), c.want);
    MailDate d = parseMailDate(c.want);
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.zoneMinutes * 60, c.offsetSeconds);
    EXPECT_EQ(d.day, c.mday);
    EXPECT_EQ(d.month, c.mon + 1);
    EXPECT_EQ(d.second, c.sec);
}
INSTANTIATE_TEST_SUITE_P(
    Zones, DateFormat,
    ::testing::Values(DateCase{0, 6, 11, 2026, 13, 46, 29, 3600, "Sun, 06 Dec 2026 13:46:29 +0100"},
                      DateCase{3, 1, 0, 2025, 0, 0, 0, 0, "Wed, 01 Jan 2025 00:00:00 +0000"},
                      DateCase{5, 9, 4, 2025, 23, 59, 59, 19800, "Fri, 09 May 2025 23:59:59 +0530"},
                      DateCase{1, 31, 2, 2025, 7, 5, 3, -12600, "Mon, 31 Mar 2025 07:05:03 -0330"},
                      // Less than an hour west of UTC is still west.
                      DateCase{2, 2, 6, 2024, 12, 0, 0, -1800, "Tue, 02 Jul 2024 12:00:00 -0030"}));

// Lower-case hex digits and the given punctuation, position by position:
// "h" stands for a hex digit, anything else for itself.
bool matchesShape(std::string_view s, std::string_view shape) {
    if (s.size() != shape.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool hex = (s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f');
        if (shape[i] == 'h' ? !hex : s[i] != shape[i]) return false;
    }
    return true;
}

TEST(Identifiers, MessageIdAndBoundaryForms) {
    Email2 m;
    StringBuffer id;
    ASSERT_TRUE(m.getHeaderField("Message-ID", id));
    const std::string prefix = "<ZELMAIL-MID-";
    ASSERT_TRUE(id.view().starts_with(prefix) && id.view().ends_with(">")) << id.str();
    const std::string rest = id.str().substr(prefix.size());
    EXPECT_TRUE(matchesShape(rest.substr(0, 36), "hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh")) << id.str();
    EXPECT_EQ(rest[36], '@');
    EXPECT_GT(rest.size(), 38u);
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string b = newBoundary();
        ASSERT_TRUE(matchesShape(b, "-----_zelmail_hhh_hhhh_hhhhhhhh.hhhhhhhh")) << b;
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), 200u);
    StringBuffer again;
    m.newMessageId();
    m.getHeaderField("Message-ID", again);
    EXPECT_NE(again.str(), id.str());
    EXPECT_EQ(m.header().fieldAt(m.header().fieldCount() - 1)->getName().str(), "Message-ID");
}

TEST(Identifiers, R250IsTheXorOfWordsALagApart) {
    unsigned char bytes[1000];
    for (int i = 0; i < 1000; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    R250 a, b;
    a.seedFromBytes(bytes);
    b.seedFromBytes(bytes);
    std::vector<std::uint32_t> out;
    for (int i = 0; i < 1000; ++i) out.push_back(a.next());
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(b.next(), out[static_cast<std::size_t>(i)]);
    // x[n] = x[n-250] ^ x[n-147] once the first table has been used up.
    for (std::size_t n = 500; n < 1000; ++n) ASSERT_EQ(out[n], out[n - 250] ^ out[n - 147]) << n;
}

struct CopyCase {
    const char* label;
    std::vector<std::pair<const char*, const char*>> fields;  // set on the message before the copy
    std::vector<std::pair<const char*, const char*>> want;    // on the copy; null value: absent
};
class SendCopy : public ::testing::TestWithParam<CopyCase> {};
TEST_P(SendCopy, InternalFieldsAreHandled) {
    DeterministicSeam seam;
    auto m = buildMessage(plainSpec());
    for (auto [n, v] : GetParam().fields) m->setHeaderField(n, v);
    LogNull log;
    auto copy = m->makeSendCopy(nullptr, log);
    ASSERT_TRUE(copy);
    for (auto [n, v] : GetParam().want) {
        StringBuffer got;
        const bool present = copy->getHeaderField(n, got);
        EXPECT_EQ(present, v != nullptr) << n;
        if (v && present) {
            EXPECT_EQ(got.str(), v) << n;
        }
    }
    EXPECT_TRUE(m->hasHeaderField("Return-Path"));  // the caller's message is left alone
    StringBuffer rcpt;
    ASSERT_TRUE(copy->getToAddr(1, rcpt));
    EXPECT_EQ(rcpt.str(), "b@x.test");
}
INSTANTIATE_TEST_SUITE_P(
    Fields, SendCopy,
    ::testing::Values(CopyCase{"Plain", {}, {{"Return-Path", nullptr}, {"Subject", "IP changed"}}},
                      CopyCase{"Receipt",
                               {{"ZMX-ReturnReceipt", "YES"}},
                               {{"Disposition-Notification-To", "<z@x.test>"}, {"ZMX-ReturnReceipt", nullptr}}},
                      CopyCase{"ReceiptNotYes", {{"ZMX-ReturnReceipt", "yes"}}, {{"Disposition-Notification-To", nullptr}}},
                      CopyCase{"Bcc", {{"ZMX-Bcc", "h@x.test"}}, {{"Bcc", "h@x.test"}, {"ZMX-Bcc", nullptr}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SendCopy, BccOnlyKeepsItsRecipientsAndFieldOrder) {
    DeterministicSeam seam;
    MessageSpec s = attachmentSpec();
    s.to = {};
    s.bcc = {{"", "q@x.test"}, {"", "r@x.test"}};
    auto m = buildMessage(s);
    LogNull log;
    auto copy = m->makeSendCopy(nullptr, log);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->getNumTo(), 0);
    ASSERT_EQ(copy->getNumBcc(), 2);
    StringBuffer b;
    copy->getBccAddr(1, b);
    EXPECT_EQ(b.str(), "r@x.test");
    // Same fields in the same order, same parts and bodies.
    std::string a1, a2;
    m->removeHeaderField("Return-Path");
    m->renderMime(a1, "", log);
    copy->renderMime(a2, "", log);
    EXPECT_EQ(a1, a2);
    ASSERT_EQ(copy->getNumParts(), 2u);
    EXPECT_EQ(copy->getPart(1)->getBody().str(), "IP 1.2.3.4\r\n");
}

// The parser takes any bytes: nesting is capped, nothing is lost or
// invented at the edges.
TEST(MimeParser, NestingIsCappedAndEdgesHold) {
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
    MimeEntity e;
    parseMime(deep, e);
    int depth = 0;
    for (const MimeEntity* p = &e; !p->parts.empty(); p = p->parts[0].get()) ++depth;
    EXPECT_EQ(depth, kMaxMimeDepth);

    parseMime("no header at all", e);
    EXPECT_TRUE(e.fields.empty());
    EXPECT_EQ(e.body, "");  // a single line without a blank line is taken as header text
    parseMime("\r\nbody", e);
    EXPECT_EQ(e.body, "body");
    parseMime("A: 1\r\n\tfolded\r\nB:2\n\nx", e);
    ASSERT_EQ(e.fields.size(), 2u);
    EXPECT_EQ(e.fields[0].second, "1\r\n\tfolded");
    EXPECT_EQ(e.body, "x");
    parseMime("Content-Type: multipart/mixed; boundary=q\r\n\r\npre\r\n--q\r\n\r\none\r\n--qq\r\n--q--\r\nepi", e);
    ASSERT_EQ(e.parts.size(), 1u);
    EXPECT_EQ(e.parts[0]->body, "one\r\n--qq");
}

}  // namespace
