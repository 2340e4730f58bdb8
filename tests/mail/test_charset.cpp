// Charsets: the name table, lookup by name and code page, conversions
// through the platform converter, META charsets and the charset choice.
#include <gtest/gtest.h>

#include <iconv.h>

#include <set>

#include "mail/mime/charset.h"
#include "mail/base/logger.h"

using namespace zelmar::mail;

TEST(CharsetTable, HoldsAllNames) {
    std::size_t count = 0;
    const CodePageInfo* t = codePageTable(count);
    std::set<std::string> names;
    for (std::size_t i = 0; i < count; ++i) names.insert(t[i].name);
    EXPECT_EQ(names.size(), 138u);
    std::set<int> pages;
    for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(pages.insert(t[i].codePage).second) << t[i].codePage;
}

struct NameCase {
    const char* name;
    int cp;
    const char* canonical;
};
class CharsetByName : public ::testing::TestWithParam<NameCase> {};
TEST_P(CharsetByName, Lookup) {
    Charset cs;
    cs.setByName(GetParam().name);
    EXPECT_EQ(cs.getCodePage(), GetParam().cp);
    EXPECT_EQ(cs.getName().str(), GetParam().canonical);
}
INSTANTIATE_TEST_SUITE_P(
    Names, CharsetByName,
    ::testing::Values(NameCase{"UTF_8", 65001, "utf-8"}, NameCase{"  utf-8 ", 65001, "utf-8"},
                      NameCase{"utf8", 65001, "utf-8"}, NameCase{"ISO-8859-1", 28591, "iso-8859-1"},
                      NameCase{"latin1", 28591, "iso-8859-1"}, NameCase{"Shift_JIS", 932, "shift_jis"},
                      NameCase{"shift-jis", 932, "shift_jis"}, NameCase{"KS_C_5601-1987", 949, "ks_c_5601-1987"},
                      NameCase{"iso-2022-jp", 50220, "iso-2022-jp"}, NameCase{"csISO2022JP", 50221, "csiso2022jp"},
                      NameCase{"unicodeFFFE", 1201, "unicodefffe"}, NameCase{"utf-16", 1200, "unicode"},
                      NameCase{"x-iscii-pa", 57011, "x-iscii-pa"}, NameCase{"ansi", 65001, "utf-8"},
                      NameCase{"us", 0, ""},  // shorter than three characters
                      NameCase{"default", 0, ""}, NameCase{"x-user-defined", 0, ""}, NameCase{"klingon", 0, ""},
                      NameCase{"", 0, ""}));

TEST(CharsetByCodePage, CanonicalNames) {
    Charset cs;
    EXPECT_TRUE(cs.setByCodePage(28592));
    EXPECT_EQ(cs.getName().str(), "iso-8859-2");
    EXPECT_TRUE(cs.setByCodePage(50222));
    EXPECT_EQ(cs.getName().str(), "iso-2022-jp");
    EXPECT_FALSE(cs.setByCodePage(12345));
    EXPECT_FALSE(cs.isSet());
    EXPECT_TRUE(cs.getName().isEmpty());
    Charset copy;
    cs.setByCodePage(1252);
    copy.copyFrom(cs);
    EXPECT_EQ(copy.getCodePage(), 1252);
}

struct ConvCase {
    int cp;
    const char* utf8;
    std::string_view bytes;
};
class RoundTrip : public ::testing::TestWithParam<ConvCase> {};
TEST_P(RoundTrip, BothWays) {
    const auto& c = GetParam();
    std::string out, back;
    ASSERT_TRUE(EncodingConvert::convert(65001, c.cp, c.utf8, out)) << c.cp;
    EXPECT_EQ(out, c.bytes) << c.cp;
    ASSERT_TRUE(EncodingConvert::convert(c.cp, 65001, out, back));
    EXPECT_EQ(back, c.utf8);
}
using namespace std::string_view_literals;
INSTANTIATE_TEST_SUITE_P(
    Pages, RoundTrip,
    ::testing::Values(ConvCase{28591, "Gr\xC3\xBC\xC3\x9F" "e", "Gr\xFC\xDF" "e"sv},
                      ConvCase{1252, "\xE2\x82\xAC", "\x80"sv}, ConvCase{1200, "A\xC3\xA9", "A\0\xE9\0"sv},
                      ConvCase{1201, "A\xC3\xA9", "\0A\0\xE9"sv}, ConvCase{932, "\xE3\x81\x82", "\x82\xA0"sv},
                      ConvCase{50220, "\xE3\x81\x82", "\x1B$B$\"\x1B(B"sv},
                      // Shift_JIS-only symbols (full-width tilde, circled one) go out too.
                      ConvCase{50220, "\xEF\xBD\x9E\xE2\x91\xA0", "\x1B$B!A-!\x1B(B"sv},
                      ConvCase{50221, "\xEF\xBD\xB6", "\x1B(I6\x1B(B"sv},
                      ConvCase{50222, "a\xE3\x81\x82" "b", "a\x1B$B$\"\x1B(Bb"sv},
                      ConvCase{50225, "\xEA\xB0\x80", "\x1B$)C\x0E\x30\x21\x0F"sv},
                      ConvCase{936, "\xE4\xB8\xAD", "\xD6\xD0"sv}, ConvCase{949, "\xEA\xB0\x80", "\xB0\xA1"sv},
                      ConvCase{950, "\xE4\xB8\xAD", "\xA4\xA4"sv}, ConvCase{874, "\xE0\xB8\x81", "\xA1"sv},
                      ConvCase{28595, "\xD0\x96", "\xB6"sv}, ConvCase{65005, "A", "A\0\0\0"sv},
                      ConvCase{65006, "A", "\0\0\0A"sv}, ConvCase{20127, "abc", "abc"sv}));

// ISO-2022-JP is written through Shift_JIS: half-width katakana become
// full-width (50220, 50222) or use their own escape (50221), and every
// JIS X 0208 character survives the trip.
TEST(Conversion, Iso2022JpOverShiftJis) {
    std::string out, back;
    // KA + voiced mark, KI, HA + semi-voiced mark, U + voiced mark.
    const std::string half = "\xEF\xBD\xB6\xEF\xBE\x9E\xEF\xBD\xB7\xEF\xBE\x8A\xEF\xBE\x9F\xEF\xBD\xB3\xEF\xBE\x9E";
    for (int cp : {50220, 50222}) {
        ASSERT_TRUE(EncodingConvert::convert(65001, cp, half, out)) << cp;
        ASSERT_TRUE(EncodingConvert::convert(cp, 65001, out, back));
        EXPECT_EQ(back, "\xE3\x82\xAC\xE3\x82\xAD\xE3\x83\x91\xE3\x83\xB4") << cp;  // GA KI PA VU
    }
    ASSERT_TRUE(EncodingConvert::convert(65001, 50221, half, out));
    ASSERT_TRUE(EncodingConvert::convert(50221, 65001, out, back));
    EXPECT_EQ(back, half);
    // The older escapes and the SO/SI kana form read back.
    ASSERT_TRUE(EncodingConvert::convert(50222, 65001, "\x1B$@$\"\x1B(Jx\x0E\x36\x0F", back));
    EXPECT_EQ(back, "\xE3\x81\x82x\xEF\xBD\xB6");
    // Unknown escapes, broken pairs and characters outside the 94 rows fail.
    EXPECT_FALSE(EncodingConvert::convert(50220, 65001, "\x1B$(D!!\x1B(B", back));
    EXPECT_FALSE(EncodingConvert::convert(50220, 65001, "\x1B$B$", back));
    EXPECT_FALSE(EncodingConvert::convert(65001, 50220, "\xEE\x80\x80", out));  // private use

    // Every double-byte Shift_JIS character of rows 1 to 88: through
    // ISO-2022-JP and back, and byte for byte what glibc's own converter
    // writes where it knows the character. (Rows 89 to 92 hold the
    // NEC-selected IBM characters, which Shift_JIS writes in the IBM rows
    // beyond JIS X 0208: those are not converted.)
    int checked = 0;
    for (int lead = 0x81; lead <= 0xEC; ++lead) {
        if (lead > 0x9F && lead < 0xE0) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
            std::string utf8;
            if (!EncodingConvert::convert(932, 65001, sjis, utf8)) continue;
            ASSERT_TRUE(EncodingConvert::convert(65001, 50220, utf8, out)) << lead << ' ' << trail;
            ASSERT_TRUE(EncodingConvert::convert(50220, 65001, out, back));
            EXPECT_EQ(back, utf8) << lead << ' ' << trail;  // the text; duplicate codes need not come back
            std::string glibc(16, '\0');
            iconv_t cd = iconv_open("ISO-2022-JP", "UTF-8");
            ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
            char* in = utf8.data();
            char* o = glibc.data();
            std::size_t inLeft = utf8.size(), outLeft = glibc.size();
            if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1) &&
                iconv(cd, nullptr, nullptr, &o, &outLeft) != static_cast<std::size_t>(-1)) {
                glibc.resize(glibc.size() - outLeft);
                EXPECT_EQ(out, glibc) << lead << ' ' << trail;
                ++checked;
            }
            iconv_close(cd);
        }
    }
    EXPECT_GT(checked, 6000);
}

TEST(Conversion, FailsLoudly) {
    std::string out;
    EXPECT_FALSE(EncodingConvert::convert(65001, 28591, "\xE2\x82\xAC", out));  // euro not in latin-1
    EXPECT_FALSE(EncodingConvert::convert(65001, 20127, "\xC3\xA9", out));
    EXPECT_FALSE(EncodingConvert::convert(65001, 28591, "\xC3", out));  // truncated UTF-8
    EXPECT_FALSE(EncodingConvert::convert(65001, 10004, "a", out));     // no converter
    EXPECT_FALSE(EncodingConvert::convert(4242, 65001, "a", out));
    Logger log;
    DataBuffer db;
    EXPECT_FALSE(EncodingConvert::convert(65001, 4242, "a", db, log));
    StringBuffer xml;
    log.getXml(xml);
    EXPECT_NE(xml.str().find("<toCodePage>4242</toCodePage>"), std::string::npos);
    EXPECT_TRUE(EncodingConvert::convert(65001, 28591, "", out));
    EXPECT_EQ(out, "");
}

TEST(Conversion, Utf16Helpers) {
    std::u16string u;
    ASSERT_TRUE(EncodingConvert::toUtf16(28591, "\xE9", u));
    EXPECT_EQ(u, u"\u00E9");
    std::string s;
    ASSERT_TRUE(EncodingConvert::fromUtf16(932, u"\u3042", s));
    EXPECT_EQ(s, "\x82\xA0");
    EXPECT_TRUE(EncodingConvert::isSupported(65001));
    EXPECT_FALSE(EncodingConvert::isSupported(10004));
}

struct MetaCase {
    const char* html;
    const char* want;
};
class HtmlMeta : public ::testing::TestWithParam<MetaCase> {};
TEST_P(HtmlMeta, Charset) { EXPECT_EQ(getHtmlMetaCharset(GetParam().html), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlMeta,
    ::testing::Values(
        MetaCase{"<html><head><META http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-2\"></head>",
                 "iso-8859-2"},
        MetaCase{"<meta HTTP-EQUIV=content-type content=\"text/html;CHARSET=utf-8\">", "utf-8"},
        MetaCase{"<meta http-equiv=\"content-type\" content=\"text/html\" charset=\"big5\">", "big5"},
        MetaCase{"<meta http-equiv=\"content-type\" content=\"text/html\">", ""},
        MetaCase{"<meta name=x><meta http-equiv='Content-Type' content='text/html; charset=koi8-r'>", "koi8-r"},
        MetaCase{"<meta charset=\"utf-8\">", ""}, MetaCase{"<p>no meta</p>", ""},
        MetaCase{"<meta http-equiv=\"content-type\" content=\"\"><meta http-equiv=\"content-type\" "
                 "content=\"text/html; charset=gb2312\">",
                 "gb2312"},
        MetaCase{"<meta http-equiv=\"content-type\" content=\"text/html; charset=", ""},
        // A tag without ">" runs to the end and is the last one looked at.
        MetaCase{"<p><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\"", "utf-8"}));

// Runs of "<meta" that never close, or close only at the very end, are
// read once, not once per "<meta" (the suite's time-out guards this).
TEST(HtmlMetaScan, ManyUnclosedTagsAreReadOnce) {
    std::string unclosed;
    while (unclosed.size() < (1u << 20)) unclosed += "<meta name=x ";
    EXPECT_EQ(getHtmlMetaCharset(unclosed), "");
    EXPECT_EQ(getHtmlMetaCharset(unclosed + ">"), "");
    const std::string good = "<meta http-equiv=\"content-type\" content=\"text/html; charset=koi8-r\">";
    EXPECT_EQ(getHtmlMetaCharset(unclosed + ">" + good), "koi8-r");
}

struct ChoiceCase {
    const char16_t* text;
    int cp;
};
class CharsetChoice : public ::testing::TestWithParam<ChoiceCase> {};
TEST_P(CharsetChoice, Picks) {
    Charset cs;
    cs.setByCodePage(1252);  // must be overwritten or cleared
    chooseCharset(GetParam().text, cs);
    EXPECT_EQ(cs.getCodePage(), GetParam().cp);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, CharsetChoice,
    ::testing::Values(ChoiceCase{u"", 0}, ChoiceCase{u"plain text", 0}, ChoiceCase{u"Gr\u00FC\u00DFe", 28591},
                      // The top of the Latin-1 range is still Latin-1.
                      ChoiceCase{u"\u00FF", 28591}, ChoiceCase{u"y\u00FFy", 28591},
                      ChoiceCase{u"\u0150r\u00FCl", 28592}, ChoiceCase{u"\u0416\u03B1", 65001},
                      ChoiceCase{u"\u3042\u4E2D", 932}, ChoiceCase{u"\uAC00\u4E2D", 949}, ChoiceCase{u"\u4E2D\u6587", 936},
                      ChoiceCase{u"\u05D0", 28598}, ChoiceCase{u"\u0627", 28596}, ChoiceCase{u"\u0416ok", 28595},
                      ChoiceCase{u"\u03B1", 28597}, ChoiceCase{u"\u0E01", 874}, ChoiceCase{u"\u0416\u00E9", 65001},
                      ChoiceCase{u"\u2603", 65001}, ChoiceCase{u"\u3001", 65001}, ChoiceCase{u"\u3001\u4E2D", 936},
                      // Ranges hold characters the legacy page lacks: keep the text whole.
                      ChoiceCase{u"\u0101", 65001}, ChoiceCase{u"\u0416\u20AC", 65001}));

TEST(CharsetChoiceUtf8, FromUtf8) {
    Charset cs;
    chooseCharsetUtf8("Gr\xC3\xBC\xC3\x9F" "e", cs);
    EXPECT_EQ(cs.getName().str(), "iso-8859-1");
}
