// Transfer encodings: exact forms of base64, quoted-printable, Q and B words,
// and decoders that tolerate what real mail carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mail/mime/content_coding.h"
#include "mail/base/logger.h"

using namespace zelmar::mail;

namespace {
std::string b64Body(std::string_view in, int lineLen = 72) {
    ContentCoding cc;
    cc.setLineLength(lineLen);
    std::string out;
    cc.encodeBase64Body(in, out);
    return out;
}
std::string qp(std::string_view in, int lineLen = 72) {
    ContentCoding cc;
    cc.setLineLength(lineLen);
    std::string out;
    cc.encodeQuotedPrintable(in, out);
    return out;
}
std::string unb64(std::string_view in) {
    std::string out;
    ContentCoding::decodeBase64(in, out);
    return out;
}
std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}
}  // namespace

TEST(Base64Body, FiftyFourBytesFillOneLineThenEmptyLine) {
    std::string out = b64Body(std::string(54, 'a'));
    ASSERT_EQ(out.size(), 72u + 4u);
    EXPECT_EQ(out.substr(72), "\r\n\r\n");
    EXPECT_EQ(out.substr(0, 4), "YWFh");
}

struct B64Case {
    const char* in;
    const char* want;
};
class Base64BodyTable : public ::testing::TestWithParam<B64Case> {};
TEST_P(Base64BodyTable, ExactForm) { EXPECT_EQ(b64Body(GetParam().in), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(Short, Base64BodyTable,
                         ::testing::Values(B64Case{"", ""}, B64Case{"f", "Zg==\r\n"}, B64Case{"fo", "Zm8=\r\n"},
                                           B64Case{"foo", "Zm9v\r\n"}, B64Case{"foob", "Zm9vYg==\r\n"},
                                           B64Case{"fooba", "Zm9vYmE=\r\n"}, B64Case{"foobar", "Zm9vYmFy\r\n"}));

TEST(Base64Body, LineStructureOverManySizes) {
    for (int lineLen : {72, 76, 10, 13}) {
        const std::size_t perLine = (static_cast<std::size_t>(lineLen) + 3) / 4 * 4;
        for (std::size_t n : {1u, 2u, 3u, 53u, 54u, 55u, 56u, 57u, 108u, 109u, 1000u, 4096u, 16385u}) {
            std::string in = randomBytes(n, static_cast<unsigned>(n));
            std::string out = b64Body(in, lineLen);
            ASSERT_GE(out.size(), 2u);
            EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
            std::size_t pos = 0;
            while (pos < out.size()) {
                std::size_t eol = out.find("\r\n", pos);
                ASSERT_NE(eol, std::string::npos);
                EXPECT_LE(eol - pos, perLine);
                if (eol + 2 < out.size() && eol - pos != 0) {
                    EXPECT_EQ(eol - pos, perLine) << n;
                }
                pos = eol + 2;
            }
            EXPECT_EQ(unb64(out), in) << "n=" << n << " line=" << lineLen;
        }
    }
}

TEST(Base64Body, LineLengthNeverBelowTen) {
    ContentCoding cc;
    cc.setLineLength(3);
    EXPECT_EQ(cc.getLineLength(), 10);
    cc.setLineLength(100);
    EXPECT_EQ(cc.getLineLength(), 100);
}

TEST(Base64OneLine, NoBreaks) {
    EXPECT_EQ(ContentCoding::encodeBase64(""), "");
    EXPECT_EQ(ContentCoding::encodeBase64(std::string_view("\0user\0pass", 10)), "AHVzZXIAcGFzcw==");
    std::string big = ContentCoding::encodeBase64(std::string(300, 'x'));
    EXPECT_EQ(big.find('\r'), std::string::npos);
    EXPECT_EQ(big.size(), 400u);
}

struct DecodeCase {
    const char* in;
    const char* want;
};
class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};
TEST_P(Base64Decode, Lenient) { EXPECT_EQ(unb64(GetParam().in), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Cases, Base64Decode,
    ::testing::Values(DecodeCase{"Zm9vYmFy", "foobar"}, DecodeCase{"Zm9v\r\nYmFy\r\n", "foobar"},
                      DecodeCase{" Z m 9 v ", "foo"}, DecodeCase{"Zm8=", "fo"}, DecodeCase{"Zm8=Zm9v", "fo"},
                      DecodeCase{"Zg", "f"}, DecodeCase{"Z", ""}, DecodeCase{"", ""},
                      // Punctuation inside the "+".."z" range is not alphabet and must not add bits.
                      DecodeCase{"Zm-9.v", "foo"}, DecodeCase{"Z_m[9]v^", "foo"}, DecodeCase{"Zm9v\x80\xFF", "foo"}));

TEST(QuotedPrintable, EdgeCases) {
    EXPECT_EQ(qp("a=b"), "a=3Db");
    EXPECT_EQ(qp("hello \r\n"), "hello=20\r\n");
    EXPECT_EQ(qp("hello\t\r\nx"), "hello=09\r\nx");
    EXPECT_EQ(qp("end "), "end=20");
    EXPECT_EQ(qp("a b"), "a b");
    EXPECT_EQ(qp(".\r\n"), "=2E\r\n");
    EXPECT_EQ(qp("x\r\n.y"), "x\r\n=2Ey");
    EXPECT_EQ(qp("From here"), "=46rom here");
    EXPECT_EQ(qp("a\r\nFrom me"), "a\r\n=46rom me");
    EXPECT_EQ(qp("From"), "From");
    EXPECT_EQ(qp("Fromage"), "Fromage");
    EXPECT_EQ(qp("x From y"), "x From y");
    EXPECT_EQ(qp("a\rb\nc"), "a=0Db=0Ac");
    EXPECT_EQ(qp(std::string_view("\0\x7F\xFF", 3)), "=00=7F=FF");
    EXPECT_EQ(qp(""), "");
    EXPECT_EQ(qp("\r\n\r\n"), "\r\n\r\n");  // no CRLF added, none dropped
}

TEST(QuotedPrintable, SoftBreakAfterSeventyTwo) {
    std::string line(100, 'x');
    EXPECT_EQ(qp(line), std::string(72, 'x') + "=\r\n" + std::string(28, 'x'));
    // A line ending exactly at the limit before CR LF needs no soft break.
    EXPECT_EQ(qp(std::string(72, 'x') + "\r\nz"), std::string(72, 'x') + "\r\nz");
    // The end of input counts as "not followed by CR LF".
    EXPECT_EQ(qp(std::string(72, 'x')), std::string(72, 'x') + "=\r\n");
    // A "." right after a soft break starts a line too.
    EXPECT_EQ(qp(std::string(72, 'x') + "."), std::string(72, 'x') + "=\r\n=2E");
    // Escapes may run the line to 74 characters before the "=".
    std::string esc = qp(std::string(71, 'x') + "==");
    EXPECT_EQ(esc, std::string(71, 'x') + "=3D=\r\n=3D");
}

TEST(QuotedPrintable, LinesStayShortAndDecodeBack) {
    for (std::size_t n : {1u, 2u, 71u, 72u, 73u, 74u, 75u, 1000u, 4096u}) {
        std::string in = randomBytes(n, static_cast<unsigned>(n) * 7u);
        std::string out = qp(in);
        std::size_t pos = 0;
        while (pos < out.size()) {
            std::size_t eol = out.find("\r\n", pos);
            if (eol == std::string::npos) eol = out.size();
            EXPECT_LE(eol - pos, 75u);
            pos = eol + 2;
        }
        std::string back;
        ContentCoding::decodeQuotedPrintable(out, back);
        EXPECT_EQ(back, in) << n;
    }
}

TEST(QEncoding, EdgeCases) {
    std::string out;
    ContentCoding::encodeQ("a b?", out);
    EXPECT_EQ(out, "a_b=3F");
    out.clear();
    ContentCoding::encodeQ("=_\t\x7F\xE9@^`~", out);
    EXPECT_EQ(out, "=3D=5F=09=7F=E9@^`~");
}

TEST(EncodedWords, SingleAndChunked) {
    std::string out;
    ContentCoding::encodeQWord("caf\xE9", "iso-8859-1", out);
    EXPECT_EQ(out, "=?iso-8859-1?Q?caf=E9?=");
    out.clear();
    ContentCoding::encodeQWord("x", "", out);
    EXPECT_EQ(out, "=?utf-8?Q?x?=");
    out.clear();
    ContentCoding::encodeBWord("abc", "gb2312", out);
    EXPECT_EQ(out, "=?gb2312?B?YWJj?=");

    // 34 bytes: one Q word; 35: pieces of 17 characters.
    out.clear();
    ContentCoding::encodeQWord(std::string(34, 'a'), "us-ascii", out);
    EXPECT_EQ(out, "=?us-ascii?Q?" + std::string(34, 'a') + "?=");
    out.clear();
    ContentCoding::encodeQWord(std::string(35, 'a'), "us-ascii", out);
    EXPECT_EQ(out, "=?us-ascii?Q?" + std::string(17, 'a') + "?=\r\n\t=?us-ascii?Q?" + std::string(17, 'a') +
                       "?=\r\n\t=?us-ascii?Q?a?=");
    // B: 23 bytes one word, then pieces of 12 characters.
    out.clear();
    ContentCoding::encodeBWord(std::string(23, 'b'), "utf-8", out);
    EXPECT_EQ(out.find("\r\n"), std::string::npos);
    out.clear();
    ContentCoding::encodeBWord(std::string(24, 'b'), "utf-8", out);
    EXPECT_EQ(out, "=?utf-8?B?YmJiYmJiYmJiYmJi?=\r\n\t=?utf-8?B?YmJiYmJiYmJiYmJi?=");
}

TEST(EncodedWords, Phrases) {
    using Use = ContentCoding::PhraseUse;
    auto phrase = [](std::string_view bytes, std::string_view charset, Use use) {
        std::string out;
        ContentCoding::encodePhrase(bytes, charset, use, out);
        return out;
    };
    EXPECT_EQ(phrase("caf\xE9", "iso-8859-1", Use::AddressList), "=?iso-8859-1?Q?caf=E9?=");
    EXPECT_EQ(phrase("\x82\xA0", "Shift_JIS", Use::AddressList), "=?Shift_JIS?B?gqA=?=");
    // Already encoded within the first 100 bytes: copied.
    EXPECT_EQ(phrase("=?utf-8?q?a?=", "utf-8", Use::AddressList), "=?utf-8?q?a?=");
    const std::string late = std::string(100, 'x') + "=?utf-8?B?YQ==?=";
    EXPECT_NE(phrase(late, "utf-8", Use::AddressList), late);
    // The From variant drops a UTF-8 byte-order mark, and only in utf-8.
    EXPECT_EQ(phrase("\xEF\xBB\xBF" "Bob", "utf-8", Use::FromAddress), "=?utf-8?Q?Bob?=");
    EXPECT_EQ(phrase("\xEF\xBB\xBF" "Bob", "utf-8", Use::AddressList), "=?utf-8?Q?=EF=BB=BFBob?=");
    EXPECT_EQ(phrase("\xEF\xBB\xBF", "iso-8859-1", Use::FromAddress), "=?iso-8859-1?Q?=EF=BB=BF?=");
}

TEST(EncodedWords, ChunksNeverSplitCharacters) {
    // 20 two-byte characters and an emoji: every word must decode alone.
    std::string text;
    for (int i = 0; i < 16; ++i) text += "\xC3\xA9";
    text += "\xF0\x9F\x98\x80";  // surrogate pair lands across a 17-unit cut
    text += "\xC3\xA9\xC3\xA9";
    std::string out;
    ContentCoding::encodeQWord(text, "utf-8", out);
    std::size_t pos = 0;
    std::string joined;
    while (pos < out.size()) {
        std::size_t e = out.find("\r\n\t", pos);
        std::string word = out.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        std::string dec = ContentCoding::decodeEncodedWords(word);
        EXPECT_EQ(dec.find("=?"), std::string::npos) << word;  // decoded on its own
        joined += dec;
        pos = e == std::string::npos ? out.size() : e + 3;
    }
    EXPECT_EQ(joined, text);
}

// Every length of 1 to 40 two-byte characters, in each kind of word: every
// word at most 75 characters (RFC 2047 section 2), the text given back.
TEST(EncodedWords, EveryLengthStaysWithinSeventyFive) {
    for (const char kind : {'Q', 'B', 'P'}) {
        std::string text;
        for (int n = 1; n <= 40; ++n) {
            text += "\xC3\xA9";
            std::string out, joined;
            if (kind == 'Q') ContentCoding::encodeQWord(text, "utf-8", out);
            if (kind == 'B') ContentCoding::encodeBWord(text, "utf-8", out);
            if (kind == 'P') ContentCoding::encodePhrase(text, "utf-8", ContentCoding::PhraseUse::AddressList, out);
            for (std::size_t pos = 0, end = 0; pos <= out.size(); pos = end + 3) {
                end = std::min(out.find("\r\n\t", pos), out.size());
                EXPECT_LE(end - pos, 75u) << kind << n << ": " << out.substr(pos, end - pos);
                joined += ContentCoding::decodeEncodedWords(out.substr(pos, end - pos));
            }
            EXPECT_EQ(joined, text) << kind << n;
        }
    }
}

struct WordDecodeCase {
    const char* in;
    const char* want;
};
class EncodedWordDecode : public ::testing::TestWithParam<WordDecodeCase> {};
TEST_P(EncodedWordDecode, ToUtf8) { EXPECT_EQ(ContentCoding::decodeEncodedWords(GetParam().in), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Cases, EncodedWordDecode,
    ::testing::Values(
        WordDecodeCase{"=?iso-8859-1?Q?caf=E9?=", "caf\xC3\xA9"}, WordDecodeCase{"=?utf-8?B?Y2Fmw6k=?=", "caf\xC3\xA9"},
        WordDecodeCase{"Re: =?utf-8?q?a_b?= end", "Re: a b end"}, WordDecodeCase{"=?8bit?Q?x=C3=A9?=", "x\xC3\xA9"},
        // White space between adjacent words is folding, not text.
        WordDecodeCase{"=?utf-8?Q?a?= =?utf-8?Q?b?=", "ab"}, WordDecodeCase{"=?utf-8?Q?a?=\r\n\t=?utf-8?Q?b?=", "ab"},
        // Charset names compare without regard to case, also when joining.
        WordDecodeCase{"=?UTF-8?Q?a?= =?utf-8?Q?b?=", "ab"}, WordDecodeCase{"=?UTF-8?Q?=C3?= =?utf-8?Q?=A9?=", "\xC3\xA9"},
        // A character split across two words still decodes.
        WordDecodeCase{"=?utf-8?Q?=C3?= =?utf-8?Q?=A9?=", "\xC3\xA9"},
        WordDecodeCase{"=?iso-8859-1?Q?=E9?= =?utf-8?Q?=C3=A9?=", "\xC3\xA9\xC3\xA9"},
        WordDecodeCase{"=?utf-8*en?Q?x?=", "x"},
        // Unknown charsets and malformed words stay as written.
        WordDecodeCase{"=?x-unknown?Q?a?=", "=?x-unknown?Q?a?="}, WordDecodeCase{"=?utf-8?X?a?=", "=?utf-8?X?a?="},
        WordDecodeCase{"=?utf-8?Q?a b?=", "=?utf-8?Q?a b?="}, WordDecodeCase{"a =? b", "a =? b"},
        WordDecodeCase{"=?utf-8?Q?unterminated", "=?utf-8?Q?unterminated"},
        WordDecodeCase{"=?utf-8?Q?=FF?=", "=?utf-8?Q?=FF?="},
        WordDecodeCase{"=?shift_jis?B?gqA=?=", "\xE3\x81\x82"},
        // A word broken by a blank does not hide a good one after it.
        WordDecodeCase{"=?utf-8?Q?a b?= =?utf-8?Q?c?=", "=?utf-8?Q?a b?= c"},
        WordDecodeCase{"=?utf-8?Q?x =?utf-8?Q?y?=", "=?utf-8?Q?x y"}));

// Hostile headers full of "=?" that never close: each attempt must not
// rescan the rest of the text (the whole suite's time-out guards this).
TEST(EncodedWords, LongUnclosedRunsDecodeInOnePass) {
    const std::size_t n = (1u << 20) / 11;
    std::string open;
    for (std::size_t k = 0; k < n; ++k) open += "=?utf-8?Q?x";
    // Compared as booleans: a failure must not print megabytes.
    EXPECT_TRUE(ContentCoding::decodeEncodedWords(open) == open);
    EXPECT_TRUE(ContentCoding::decodeEncodedWords(open + " =?utf-8?Q?caf=C3=A9?=") == open + " caf\xC3\xA9");
    std::string pairs(1u << 20, '=');
    for (std::size_t k = 1; k < pairs.size(); k += 2) pairs[k] = '?';
    EXPECT_TRUE(ContentCoding::decodeEncodedWords(pairs) == pairs);
}

TEST(Hex, UpperLowerAndDecode) {
    std::string u, l, back;
    ContentCoding::appendHexUpper("\x01\xAB\xFF", u);
    ContentCoding::appendHexLower("\x01\xAB\xFF", l);
    EXPECT_EQ(u, "01ABFF");
    EXPECT_EQ(l, "01abff");
    EXPECT_TRUE(ContentCoding::decodeHex("01abFF", back));
    EXPECT_EQ(back, "\x01\xAB\xFF");
    EXPECT_FALSE(ContentCoding::decodeHex("abc", back));
    EXPECT_FALSE(ContentCoding::decodeHex("zz", back));
}

TEST(PhraseEncodingChoice, BCharsets) {
    for (const char* n : {"shift_jis", "SHIFT-JIS", "iso-2022-jp", "gb2312", "big5", "windows-874", "iso-8859-9",
                          "windows-1254", "cp-1256", "euc-kr"})
        EXPECT_TRUE(charsetPrefersBWord(n)) << n;
    for (const char* n : {"utf-8", "iso-8859-1", "windows-1252", "koi8-r", ""}) EXPECT_FALSE(charsetPrefersBWord(n)) << n;
}

TEST(LogHelpers, QuotedPrintableFileName) {
    Logger log;
    logDataQuotedPrintable(log, "ansiFilename", "C:\\dir\\caf\xE9=.txt");
    StringBuffer sb;
    log.getXml(sb);
    EXPECT_EQ(sb.str(), "<MailLog>\r\n<ansiFilename>C:\\dir\\caf=E9=3D.txt</ansiFilename>\r\n</MailLog>\r\n");
}

namespace {
// A plain, byte-at-a-time reading of the quoted-printable rules, used to
// check the block-wise fast encoder on large and awkward inputs.
std::string referenceQp(std::string_view in, std::size_t limit) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    std::size_t len = 0;
    bool start = true;
    auto esc = [&](unsigned char b) {
        out += '=';
        out += hex[b >> 4];
        out += hex[b & 15];
        len += 3;
    };
    auto crlfAt = [&](std::size_t k) { return k + 1 < in.size() && in[k] == '\r' && in[k + 1] == '\n'; };
    for (std::size_t i = 0; i < in.size();) {
        auto b = static_cast<unsigned char>(in[i]);
        bool wasStart = start;
        start = false;
        if (wasStart && (b == '.' || (b == 'F' && in.substr(i + 1, 4) == "rom "))) {
            esc(b);
        } else if (crlfAt(i)) {
            out += "\r\n";
            i += 2;
            len = 0;
            start = true;
            continue;
        } else if ((b >= 33 && b <= 60) || (b >= 62 && b <= 126)) {
            out += static_cast<char>(b);
            ++len;
        } else if ((b == ' ' || b == '\t') && !(i + 1 == in.size() || crlfAt(i + 1))) {
            out += static_cast<char>(b);
            ++len;
        } else {
            esc(b);
        }
        ++i;
        if (len >= limit && !crlfAt(i)) {
            out += "=\r\n";
            len = 0;
            start = true;
        }
    }
    return out;
}

std::string mailLikeText(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    const char* pieces[] = {"word", " ", " ", "\t", "\r\n", "\r\n.", "\r\nFrom ", "=", "\xC3\xA9", "\r", "\n",
                            ".", "From", "x", "  \r\n"};
    std::string s;
    while (s.size() < n) s += pieces[rng() % std::size(pieces)];
    s.resize(n);
    return s;
}
}  // namespace

TEST(QuotedPrintable, MatchesPlainReadingAcrossBlocks) {
    for (int lineLen : {72, 10, 76}) {
        ContentCoding cc;
        cc.setLineLength(lineLen);
        for (std::size_t n : {1u, 100u, 16383u, 16384u, 16385u, 16386u, 40000u, 100001u}) {
            for (unsigned seed = 1; seed <= 3; ++seed) {
                std::string in = seed == 3 ? randomBytes(n, seed) : mailLikeText(n, seed * 31u + static_cast<unsigned>(n));
                std::string got;
                cc.encodeQuotedPrintable(in, got);
                ASSERT_EQ(got, referenceQp(in, static_cast<std::size_t>(lineLen))) << "n=" << n << " seed=" << seed;
            }
        }
    }
}
