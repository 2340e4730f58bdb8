// Header fields and addresses: storage rules, field order, folding and
// encoded-word placement, address parsing and its written forms.
#include <gtest/gtest.h>

#include "mail/base/logger.h"
#include "mail/mime/mime_header.h"

using namespace zelmar::mail;

namespace {
std::string render(const MimeHeader& h, int cp = 0, std::string_view skip = {}) {
    std::string out;
    h.renderHeader(out, skip, cp);
    return out;
}
std::string one(std::string_view name, std::string_view value, int cp = 0) {
    MimeHeader h;
    EXPECT_TRUE(h.replaceField(name, value));
    return render(h, cp);
}
}  // namespace

TEST(HeaderFields, ReplaceMovesFieldToEnd) {
    MimeHeader h;
    h.replaceField("Subject", "one");
    h.replaceField("To", "a@b.c");
    h.replaceField("subject", "two");
    ASSERT_EQ(h.fieldCount(), 2u);
    EXPECT_EQ(render(h), "To: a@b.c\r\nsubject: two");
    StringBuffer v;
    EXPECT_TRUE(h.getField("SUBJECT", v));
    EXPECT_EQ(v.str(), "two");
    h.replaceField("To", "  \t ");  // blank value: removed, nothing added
    EXPECT_FALSE(h.hasField("to"));
    h.removeField("Subject");
    EXPECT_EQ(h.fieldCount(), 0u);
    EXPECT_FALSE(h.getField("Subject", v));
    EXPECT_EQ(render(h), "");
}

TEST(HeaderFields, NamesThatCouldInjectAreRefused) {
    MimeHeader h;
    EXPECT_FALSE(h.replaceField("", "x"));
    EXPECT_FALSE(h.replaceField("Bad Name", "x"));
    EXPECT_FALSE(h.replaceField("X:Y", "x"));
    EXPECT_FALSE(h.replaceField("X\r\nBcc", "x"));
    EXPECT_EQ(h.fieldCount(), 0u);
}

TEST(HeaderFields, StoredValuesAreDecodedAndSingleLine) {
    MimeField f("Subject", "=?iso-8859-1?Q?caf=E9?=");
    EXPECT_EQ(f.getValue().str(), "caf\xC3\xA9");
    MimeField g("X-Long", "part one;\r\n\tpart two;\r\n part three");
    EXPECT_EQ(g.getValue().str(), "part one;part two;part three");
    // Line breaks that survive unfolding (or arrive inside a decoded word)
    // must not start a new header line.
    MimeField inj("Subject", "hi\r\nBcc: victim@example.com");
    EXPECT_EQ(inj.getValue().str(), "hiBcc: victim@example.com");
    MimeField inj2("Subject", "=?utf-8?Q?a=0D=0ABcc:_x@y?=");
    EXPECT_EQ(inj2.getValue().str(), "aBcc: x@y");
    EXPECT_TRUE(MimeField("User-Agent", "x").noFold());
    EXPECT_TRUE(MimeField("ACCEPT-charset", "x").noFold());
    EXPECT_FALSE(MimeField("Subject", "x").noFold());
}

TEST(HeaderRender, SkipPrefixAndNoTrailingBreak) {
    MimeHeader h;
    h.replaceField("ZMX-ReturnReceipt", "1");
    h.replaceField("MIME-Version", "1.0");
    h.replaceField("zmx-bcc", "a@b.c");
    EXPECT_EQ(render(h, 0, "ZMX-"), "MIME-Version: 1.0");
    EXPECT_EQ(render(h), "ZMX-ReturnReceipt: 1\r\nMIME-Version: 1.0\r\nzmx-bcc: a@b.c");
    Logger log;
    StringBuffer sb;
    Charset none;
    h.renderHeader(sb, "ZMX-", none, log);
    EXPECT_EQ(sb.str(), "MIME-Version: 1.0");
}

TEST(HeaderFolding, ContentTypeParameters) {
    EXPECT_EQ(one("Content-Type", "multipart/mixed;\r\n\tboundary=\"-----_zelmail_abc_1234_5678.9abcdef0_.MIX\""),
              "Content-Type: multipart/mixed;\r\n\tboundary=\"-----_zelmail_abc_1234_5678.9abcdef0_.MIX\"");
    EXPECT_EQ(one("Content-Type", "text/plain; charset=\"iso-8859-1\""),
              "Content-Type: text/plain;\r\n\t charset=\"iso-8859-1\"");
    EXPECT_EQ(one("Content-Type", "text/plain"), "Content-Type: text/plain");
    // Short lines are not folded; the semicolon inside quotes never is.
    EXPECT_EQ(one("X-A", "a;b"), "X-A: a;b");
    EXPECT_EQ(one("Content-Disposition", "attachment; filename=\"a;b;c;d;e;f.txt\""),
              "Content-Disposition: attachment;\r\n\t filename=\"a;b;c;d;e;f.txt\"");
}

TEST(HeaderFolding, AddressListsFoldAfterCommasOnlyWhenLong) {
    EXPECT_EQ(one("To", "\"A\" <a@x.com>, \"B\" <b@x.com>"), "To: \"A\" <a@x.com>, \"B\" <b@x.com>");
    EXPECT_EQ(one("To", "\"Alice Example\" <alice@example.com>, \"Bob Example\" <bob@example.com>"),
              "To: \"Alice Example\" <alice@example.com>,\r\n\t \"Bob Example\" <bob@example.com>");
    // A comma inside a quoted name is not a separator.
    EXPECT_EQ(one("To", "\"Example, Alice Q.\" <alice@example.com>, \"Bob Example\" <bob@example.com>"),
              "To: \"Example, Alice Q.\" <alice@example.com>,\r\n\t \"Bob Example\" <bob@example.com>");
    // Long, but no "@": commas are left alone.
    std::string list = "one, two, three, four, five, six, seven, eight, nine, ten, eleven";
    EXPECT_EQ(one("Keywords", list), "Keywords: " + list);
}

TEST(HeaderFolding, UserAgentNeverFolded) {
    std::string v = "Zelmar/1.0; (X11; Linux x86_64; rv:1.0; build 2026; extra; parts; here)";
    EXPECT_EQ(one("User-Agent", v), "User-Agent: " + v);
    EXPECT_NE(one("X-Agent", v), "X-Agent: " + v);
}

TEST(HeaderFolding, TrailingWhiteSpaceTrimmed) { EXPECT_EQ(one("Subject", "hello  \t"), "Subject: hello"); }

TEST(HeaderWords, WesternSubjects) {
    EXPECT_EQ(one("Subject", "caf\xC3\xA9", 28591), "Subject: =?iso-8859-1?Q?caf=E9?=");
    EXPECT_EQ(one("Subject", "caf\xC3\xA9 au lait", 65001), "Subject: =?utf-8?Q?caf=C3=A9_au_lait?=");
    EXPECT_EQ(one("Subject", "caf\xC3\xA9", 0), "Subject: =?utf-8?Q?caf=C3=A9?=");
    // Not in latin-1 but in latin-2: falls back to iso-8859-2.
    EXPECT_EQ(one("Subject", "\xC5\x90", 28591), "Subject: =?iso-8859-2?Q?=D5?=");
    // In neither: utf-8.
    EXPECT_EQ(one("Subject", "\xE2\x82\xAC", 1252), "Subject: =?windows-1252?Q?=80?=");
    EXPECT_EQ(one("Subject", "\xE2\x98\x83", 1252), "Subject: =?utf-8?Q?=E2=98=83?=");
    EXPECT_EQ(one("Subject", "plain", 20127), "Subject: plain");
}

TEST(HeaderWords, EastAsianUseBWords) {
    EXPECT_EQ(one("Subject", "\xE3\x81\x82", 932), "Subject: =?shift_jis?B?gqA=?=");
    // ISO-2022 subjects are encoded even when 7-bit.
    EXPECT_EQ(one("Subject", "hi", 50220), "Subject: =?iso-2022-jp?B?aGk=?=");
    EXPECT_EQ(one("Subject", "hi", 932), "Subject: hi");
    EXPECT_EQ(one("Subject", "hi", 50225), "Subject: hi");
    EXPECT_EQ(one("Received", "from x \xE3\x81\x82", 932), "Received: from x \xE3\x81\x82");
    // Not representable in the charset: utf-8 words.
    EXPECT_EQ(one("Subject", "\xE2\x98\x83", 932), "Subject: =?utf-8?B?4piD?=");
}

TEST(HeaderWords, AddressNamesEncodedAddressesCopied) {
    EXPECT_EQ(one("To", "\"J\xC3\xBCrgen\" <j@x.com>", 28591), "To: =?iso-8859-1?Q?J=FCrgen?= <j@x.com>");
    EXPECT_EQ(one("To", "\"J\xC3\xBCrgen\" <j@x.com>, \"Bob\" <b@x.com>", 28591),
              "To: =?iso-8859-1?Q?J=FCrgen?= <j@x.com>, \"Bob\" <b@x.com>");
    EXPECT_EQ(one("From", "\"\xE3\x81\x82\" <a@x.jp>", 932), "From: =?shift_jis?B?gqA=?= <a@x.jp>");
    EXPECT_EQ(one("From", "\"Bob\" <b@x.jp>", 50220), "From: =?iso-2022-jp?B?Qm9i?= <b@x.jp>");
    // One blank after the colon and after each comma, however the list starts.
    EXPECT_EQ(one("To", "J\xC3\xBCrgen, Bob <b@x.com>", 28591), "To: =?iso-8859-1?Q?J=FCrgen?=, \"Bob\" <b@x.com>");
    EXPECT_EQ(one("To", " \"Bob\" <b@x.com>, J\xC3\xBCrgen", 28591), "To: \"Bob\" <b@x.com>, =?iso-8859-1?Q?J=FCrgen?=");
}

// Names written by Rfc822Address::fullForm carry backslash escapes; an
// escaped quote is part of the name, not the end of the quoted string.
TEST(HeaderWords, EscapedQuotesInNamesKeepAddressesApart) {
    ExtPtrArray<Rfc822Address> list;
    list.append(std::make_unique<Rfc822Address>("Jo\"e", "j@x.com"));
    list.append(std::make_unique<Rfc822Address>("Andr\xC3\xA9", "a@x.com"));
    list.append(std::make_unique<Rfc822Address>("Bob", "b@x.com"));
    EXPECT_EQ(one("To", joinFullForms(list), 28591),
              "To: \"Jo\\\"e\" <j@x.com>, =?iso-8859-1?Q?Andr=E9?= <a@x.com>,\r\n\t \"Bob\" <b@x.com>");

    // The encoded name is the name itself, without its escapes, and its
    // words hold nothing a reader would take for address syntax (RFC 2047
    // section 5(3)): no quote, backslash or comma as it is.
    EXPECT_EQ(one("To", Rfc822Address("Dom\\J\xC3\xBCrgen", "d@x.com").fullForm(), 28591),
              "To: =?iso-8859-1?Q?Dom=5CJ=FCrgen?= <d@x.com>");
    EXPECT_EQ(one("To", Rfc822Address("\"Andr\xC3\xA9\"", "a@x.com").fullForm(), 28591),
              "To: =?iso-8859-1?Q?=22Andr=E9=22?= <a@x.com>");
    EXPECT_EQ(one("To", Rfc822Address("\xC3\x9Cnal, Ay\xC5\x9F" "e", "a@x.test").fullForm(), 28592),
              "To: =?iso-8859-2?Q?=DCnal=2C_Ay=BAe?= <a@x.test>");

    // All 7-bit and long: still folded after the commas, not taken for one
    // long quoted string.
    std::string seven = Rfc822Address("Jo\"e Example", "joe@example.com").fullForm() + ", " +
                        Rfc822Address("Bob Example", "bob@example.com").fullForm();
    EXPECT_EQ(one("To", seven),
              "To: \"Jo\\\"e Example\" <joe@example.com>,\r\n\t \"Bob Example\" <bob@example.com>");
}

TEST(HeaderWords, ParameterValuesEncodedInQuotes) {
    EXPECT_EQ(one("Content-Type", "application/octet-stream; name=\"Gr\xC3\xBC\xC3\x9F" "e.txt\"", 28591),
              "Content-Type: application/octet-stream; name=\"=?iso-8859-1?Q?Gr=FC=DFe.txt?=\"");
}

// A first segment longer than 34 characters gets a line of its own; one of
// 34 shares its line with the parameters.
TEST(HeaderWords, LongFirstSegmentOnItsOwnLine) {
    const std::string s34(34, 'a');
    EXPECT_EQ(one("X-P", s34 + "; b=c", 932), "X-P: " + s34 + "; b=\"c\"");
    EXPECT_EQ(one("X-P", s34 + "a; b=c", 932), "X-P: " + s34 + "a;\r\n\tb=\"c\"");
}

// A long 7-bit value written inside quotes keeps its ";" unbroken: a break
// there would become part of the file name.
TEST(HeaderWords, QuotedParameterValuesNeverFolded) {
    const std::string v = "part1;part2;part3;part4;part5;part6;part7;part8.txt";
    EXPECT_EQ(one("Content-Disposition", "attachment; filename=\"" + v + "\"", 932),
              "Content-Disposition: attachment;\r\n\tfilename=\"" + v + "\"");
    EXPECT_EQ(one("Content-Disposition", "attachment; filename=\"" + v + "\"; x=\"\xC3\xBC\"", 28591),
              "Content-Disposition: attachment;\r\n\tfilename=\"" + v + "\";\r\n\tx=\"=?iso-8859-1?Q?=FC?=\"");
}

TEST(Addresses, Parsing) {
    struct Case {
        const char* text;
        const char* name;
        const char* addr;
        bool valid;
    } cases[] = {
        {"\"Bob Smith\" <bob@x.com>", "Bob Smith", "bob@x.com", true},
        {"Bob Smith <bob@x.com>", "Bob Smith", "bob@x.com", true},
        {"bob@x.com", "", "bob@x.com", true},
        {"<bob@x.com>", "", "bob@x.com", true},
        {"  bob@x.com  ", "", "bob@x.com", true},
        {"\"bob@x.com\" <bob@x.com>", "", "bob@x.com", true},
        {"'Bob' <bob@x.com>", "Bob", "bob@x.com", true},
        {"Undisclosed-Recipients:;", "", "", false},
        {"undisclosed recipients", "", "", false},
        {"Bob <\"bob\"@x.com>", "Bob", "bob@x.com", true},
        {"Postmaster <postmaster>", "Postmaster", "postmaster", false},
        {"", "", "", false},
    };
    for (const auto& c : cases) {
        Rfc822Address a = Rfc822Address::parse(c.text);
        EXPECT_EQ(a.getFriendlyName().str(), c.name) << c.text;
        EXPECT_EQ(a.getAddress().str(), c.addr) << c.text;
        EXPECT_EQ(a.isValid(), c.valid) << c.text;
    }
    Rfc822Address u = Rfc822Address::parse("J\xC3\xBCrgen <j@x.com>");
    EXPECT_EQ(u.getFriendlyName().str(), "=?utf-8?Q?J=C3=BCrgen?=");
    // A byte-order mark in front of pasted text does not end up in the name.
    Rfc822Address bom = Rfc822Address::parse("\xEF\xBB\xBFJ\xC3\xBCrgen <j@x.com>");
    EXPECT_EQ(bom.getFriendlyName().str(), "=?utf-8?Q?J=C3=BCrgen?=");
    EXPECT_EQ(bom.getAddress().str(), "j@x.com");
}

TEST(Addresses, FullAndBareForms) {
    EXPECT_EQ(Rfc822Address("Bob", "b@x.com").fullForm(), "\"Bob\" <b@x.com>");
    EXPECT_EQ(Rfc822Address("", "b@x.com").fullForm(), "b@x.com");
    EXPECT_EQ(Rfc822Address("", "b@x.com").bareForm(), "b@x.com");
    EXPECT_EQ(Rfc822Address("", "odd name@x.com").fullForm(), "<odd name@x.com>");
    EXPECT_EQ(Rfc822Address("Bob", "b@x.com").bareForm(), "b@x.com");
    // A quote in the name cannot end the quoted string early.
    EXPECT_EQ(Rfc822Address("a\"b", "b@x.com").fullForm(), "\"a\\\"b\" <b@x.com>");

    ExtPtrArray<Rfc822Address> list;
    list.append(std::make_unique<Rfc822Address>("A", "a@x.com"));
    list.append(std::make_unique<Rfc822Address>("", "b@x.com"));
    EXPECT_EQ(joinFullForms(list), "\"A\" <a@x.com>, b@x.com");
}
