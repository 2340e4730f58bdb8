#include "mail/mime/charset.h"

#include <cerrno>
#include <iconv.h>

#include <array>
#include <memory>

#include "mail/base/unicode.h"
#include "mail/base/x_string.h"

namespace zelmar::mail {

namespace {

// Windows code-page numbering; the iconv column names glibc's converter for
// the same repertoire, or null where glibc has none (those names are still
// recognised, but conversions with them fail).
constexpr CodePageInfo kCodePages[] = {
    {"us-ascii", 20127, "ASCII"},
    {"unicode", 1200, "UTF-16LE"},
    {"unicodefffe", 1201, "UTF-16BE"},
    {"iso-8859-1", 28591, "ISO-8859-1"},
    {"iso-8859-2", 28592, "ISO-8859-2"},
    {"iso-8859-3", 28593, "ISO-8859-3"},
    {"iso-8859-4", 28594, "ISO-8859-4"},
    {"iso-8859-5", 28595, "ISO-8859-5"},
    {"iso-8859-6", 28596, "ISO-8859-6"},
    {"iso-8859-7", 28597, "ISO-8859-7"},
    {"iso-8859-8", 28598, "ISO-8859-8"},
    {"iso-8859-9", 28599, "ISO-8859-9"},
    {"iso-8859-13", 28603, "ISO-8859-13"},
    {"iso-8859-15", 28605, "ISO-8859-15"},
    {"windows-1250", 1250, "CP1250"},
    {"windows-1251", 1251, "CP1251"},
    {"windows-1252", 1252, "CP1252"},
    {"windows-1253", 1253, "CP1253"},
    {"windows-1254", 1254, "CP1254"},
    {"windows-1255", 1255, "CP1255"},
    {"windows-1256", 1256, "CP1256"},
    {"windows-1257", 1257, "CP1257"},
    {"windows-1258", 1258, "CP1258"},
    {"utf-7", 65000, "UTF-7"},
    {"utf-8", 65001, "UTF-8"},
    {"utf-32", 65005, "UTF-32LE"},
    {"utf-32be", 65006, "UTF-32BE"},
    {"shift_jis", 932, "CP932"},
    {"gb2312", 936, "CP936"},
    {"ks_c_5601-1987", 949, "CP949"},
    {"big5", 950, "CP950"},
    {"iso-2022-jp", 50220, "ISO-2022-JP"},
    {"csiso2022jp", 50221, "ISO-2022-JP"},
    {"iso-2022-jp", 50222, "ISO-2022-JP"},
    {"iso-2022-kr", 50225, "ISO-2022-KR"},
    {"x-cp50227", 50227, "ISO-2022-CN"},
    {"euc-jp", 51932, "EUC-JP"},
    {"euc-cn", 51936, "EUC-CN"},
    {"euc-kr", 51949, "EUC-KR"},
    {"hz-gb-2312", 52936, nullptr},
    {"gb18030", 54936, "GB18030"},
    {"macintosh", 10000, "MACINTOSH"},
    {"x-mac-japanese", 10001, nullptr},
    {"x-mac-chinesetrad", 10002, nullptr},
    {"x-mac-korean", 10003, nullptr},
    {"x-mac-arabic", 10004, nullptr},
    {"x-mac-hebrew", 10005, nullptr},
    {"x-mac-greek", 10006, nullptr},
    {"x-mac-cyrillic", 10007, "CP10007"},
    {"x-mac-chinesesimp", 10008, nullptr},
    {"x-mac-romanian", 10010, nullptr},
    {"x-mac-ukrainian", 10017, "MACUKRAINIAN"},
    {"x-mac-thai", 10021, nullptr},
    {"x-mac-ce", 10029, "MAC-CENTRALEUROPE"},
    {"x-mac-icelandic", 10079, "MAC-IS"},
    {"x-mac-turkish", 10081, nullptr},
    {"x-mac-croatian", 10082, nullptr},
    {"ibm037", 37, "IBM037"},
    {"ibm437", 437, "CP437"},
    {"ibm500", 500, "IBM500"},
    {"asmo-708", 708, "ASMO-708"},
    {"dos-720", 720, nullptr},
    {"ibm737", 737, "CP737"},
    {"ibm775", 775, "CP775"},
    {"ibm850", 850, "CP850"},
    {"ibm852", 852, "CP852"},
    {"ibm855", 855, "CP855"},
    {"ibm857", 857, "CP857"},
    {"ibm00858", 858, "CP858"},
    {"ibm860", 860, "CP860"},
    {"ibm861", 861, "CP861"},
    {"dos-862", 862, "CP862"},
    {"ibm863", 863, "CP863"},
    {"ibm864", 864, "CP864"},
    {"ibm865", 865, "CP865"},
    {"cp866", 866, "CP866"},
    {"ibm869", 869, "CP869"},
    {"ibm870", 870, "IBM870"},
    {"windows-874", 874, "CP874"},
    {"cp875", 875, "IBM875"},
    {"ibm1026", 1026, "IBM1026"},
    {"ibm01047", 1047, "IBM1047"},
    {"ibm01140", 1140, "IBM1140"},
    {"ibm01141", 1141, "IBM1141"},
    {"ibm01142", 1142, "IBM1142"},
    {"ibm01143", 1143, "IBM1143"},
    {"ibm01144", 1144, "IBM1144"},
    {"ibm01145", 1145, "IBM1145"},
    {"ibm01146", 1146, "IBM1146"},
    {"ibm01147", 1147, "IBM1147"},
    {"ibm01148", 1148, "IBM1148"},
    {"ibm01149", 1149, "IBM1149"},
    {"johab", 1361, "JOHAB"},
    {"x-chinese-cns", 20000, nullptr},
    {"x-cp20001", 20001, nullptr},
    {"x-chinese-eten", 20002, nullptr},
    {"x-cp20003", 20003, nullptr},
    {"x-cp20004", 20004, nullptr},
    {"x-cp20005", 20005, nullptr},
    {"x-ia5", 20105, nullptr},
    {"x-ia5-german", 20106, "DIN_66003"},
    {"x-ia5-swedish", 20107, "SEN_850200_B"},
    {"x-ia5-norwegian", 20108, "NS_4551-1"},
    {"x-cp20261", 20261, "T.61"},
    {"x-cp20269", 20269, "ISO_6937"},
    {"ibm273", 20273, "IBM273"},
    {"ibm277", 20277, "IBM277"},
    {"ibm278", 20278, "IBM278"},
    {"ibm280", 20280, "IBM280"},
    {"ibm284", 20284, "IBM284"},
    {"ibm285", 20285, "IBM285"},
    {"ibm290", 20290, "IBM290"},
    {"ibm297", 20297, "IBM297"},
    {"ibm420", 20420, "IBM420"},
    {"ibm423", 20423, "IBM423"},
    {"ibm424", 20424, "IBM424"},
    {"x-ebcdic-koreanextended", 20833, nullptr},
    {"ibm-thai", 20838, nullptr},
    {"koi8-r", 20866, "KOI8-R"},
    {"ibm871", 20871, "IBM871"},
    {"ibm880", 20880, "IBM880"},
    {"ibm905", 20905, "IBM905"},
    {"ibm00924", 20924, nullptr},
    {"x-cp20936", 20936, "EUC-CN"},
    {"x-cp20949", 20949, nullptr},
    {"cp1025", 21025, "CP1025"},
    {"koi8-u", 21866, "KOI8-U"},
    {"x-europa", 29001, nullptr},
    {"iso-8859-8-i", 38598, "ISO-8859-8"},
    {"x-iscii-de", 57002, nullptr},
    {"x-iscii-be", 57003, nullptr},
    {"x-iscii-ta", 57004, nullptr},
    {"x-iscii-te", 57005, nullptr},
    {"x-iscii-as", 57006, nullptr},
    {"x-iscii-or", 57007, nullptr},
    {"x-iscii-ka", 57008, nullptr},
    {"x-iscii-ma", 57009, nullptr},
    {"x-iscii-gu", 57010, nullptr},
    {"x-iscii-pa", 57011, nullptr},
};

struct Alias {
    const char* name;  // normalised: lower case, "-" for "_"
    int codePage;
};

// Spellings seen in real mail for the same code pages.
constexpr Alias kAliases[] = {
    {"ascii", 20127},           {"us", 20127},           {"ansi-x3.4-1968", 20127}, {"iso646-us", 20127},
    {"utf8", 65001},            {"utf-16", 1200},        {"utf-16le", 1200},        {"ucs-2", 1200},
    {"utf-16be", 1201},         {"utf-32le", 65005},     {"utf32", 65005},
    {"latin1", 28591},          {"iso8859-1", 28591},    {"iso-8859-1:1987", 28591}, {"l1", 28591},
    {"latin2", 28592},          {"iso8859-2", 28592},    {"latin-9", 28605},        {"latin9", 28605},
    {"iso8859-15", 28605},      {"cp1250", 1250},        {"cp1251", 1251},          {"cp1252", 1252},
    {"cp1253", 1253},           {"cp1254", 1254},        {"cp1255", 1255},          {"cp1256", 1256},
    {"cp1257", 1257},           {"cp1258", 1258},        {"x-sjis", 932},           {"sjis", 932},
    {"ms-kanji", 932},          {"windows-31j", 932},    {"cp932", 932},            {"cp-932", 932},
    {"gbk", 936},               {"cp936", 936},          {"cp-936", 936},           {"x-gbk", 936},
    {"ks-c-5601", 949},         {"ksc5601", 949},        {"ks-c-5601-1989", 949},   {"cp949", 949},
    {"big5-hkscs", 950},        {"cp950", 950},          {"cp-950", 950},           {"x-x-big5", 950},
    {"csiso2022kr", 50225},     {"x-euc-jp", 51932},     {"cseucpkdfmtjapanese", 51932},
    {"cp874", 874},             {"tis-620", 874},        {"iso-8859-11", 874},      {"x-mac-roman", 10000},
    {"koi8r", 20866},           {"koi8u", 21866},        {"cp437", 437},            {"cp850", 850},
    {"cp-1256", 1256},          {"cp-1252", 1252},       {"iso-8859-8-e", 28598},   {"visual", 28598},
    {"logical", 38598},         {"csisolatinarabic", 28596}, {"arabic", 28596},     {"greek", 28597},
    {"cyrillic", 28595},        {"hebrew", 28598},
};

std::string normaliseName(std::string_view name) {
    std::string n = toLowerCopy(trimView(name));
    for (char& c : n)
        if (c == '_') c = '-';
    return n;
}

}  // namespace

const CodePageInfo* codePageTable(std::size_t& count) {
    count = std::size(kCodePages);
    return kCodePages;
}

const CodePageInfo* findCodePage(int codePage) {
    for (const auto& cp : kCodePages)
        if (cp.codePage == codePage) return &cp;
    return nullptr;
}

int codePageForName(std::string_view n) {
    for (const auto& cp : kCodePages)
        if (normaliseName(cp.name) == n) return cp.codePage;
    for (const auto& a : kAliases)
        if (n == a.name) return a.codePage;
    return 0;
}

// ---- Charset -------------------------------------------------------------

bool Charset::setByCodePage(int codePage) {
    const CodePageInfo* info = findCodePage(codePage);
    if (!info) {
        clear();
        return false;
    }
    codePage_ = info->codePage;
    name_.setString(info->name);
    return true;
}

bool Charset::setByName(std::string_view name) {
    std::string n = normaliseName(name);
    if (n.size() < 3 || n == "default" || n == "x-user-defined") {
        clear();
        return false;
    }
    if (n == "ansi") return setByCodePage(systemAnsiCodePage());
    if (n == "oem") return setByCodePage(systemOemCodePage());
    return setByCodePage(codePageForName(n));
}

void Charset::clear() {
    codePage_ = 0;
    name_.clear();
}

// ---- EncodingConvert -----------------------------------------------------

namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

const char* iconvName(int codePage) {
    const CodePageInfo* info = findCodePage(codePage);
    return info ? info->iconv : nullptr;
}

bool runIconv(const char* to, const char* from, std::string_view in, std::string& out) {
    out.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::unique_ptr<void, IconvCloser> guard(cd);
    if (in.empty()) return true;

    std::string buf(in.size() * 4 + 16, '\0');
    char* inPtr = const_cast<char*>(in.data());  // iconv's signature is not const-correct
    std::size_t inLeft = in.size();
    std::size_t used = 0;
    bool flushing = false;
    for (;;) {
        char* outPtr = buf.data() + used;
        std::size_t outLeft = buf.size() - used;
        std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                  : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        used = buf.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            // A character iconv could only approximate counts as a failure:
            // the reader would get different text from what was written.
            if (rc > 0) return false;
            if (flushing) break;
            flushing = true;  // stateful targets (ISO-2022) need their reset sequence
            continue;
        }
        if (errno == E2BIG) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return false;  // EILSEQ: invalid or unrepresentable; EINVAL: truncated input
    }
    buf.resize(used);
    out = std::move(buf);
    return true;
}

// ---- ISO-2022-JP over Shift_JIS ----
//
// The ISO-2022-JP code pages are written through Shift_JIS (CP932), so that
// what CP932 holds beyond plain JIS X 0208 (the NEC row 13 symbols such as
// the circled digits, the full-width tilde) converts too; glibc's own
// ISO-2022-JP refuses those. Shift_JIS and JIS X 0208 are the same table
// in two arithmetic layouts.

bool isIso2022Jp(int cp) { return cp == 50220 || cp == 50221 || cp == 50222; }

constexpr std::string_view kEscAscii = "\x1B(B";
constexpr std::string_view kEscJis = "\x1B$B";
constexpr std::string_view kEscKana = "\x1B(I";

// Rows 1 to 94 only: leads 0xF0 and up (user-defined and IBM extension
// rows) have no place in JIS X 0208.
bool sjisToJis(unsigned char lead, unsigned char trail, unsigned char& j1, unsigned char& j2) {
    if (!((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xEF))) return false;
    if (trail < 0x40 || trail > 0xFC || trail == 0x7F) return false;
    const int row2 = (lead <= 0x9F ? lead - 0x81 : lead - 0xC1) * 2;
    if (trail >= 0x9F) {
        j1 = static_cast<unsigned char>(row2 + 0x22);
        j2 = static_cast<unsigned char>(trail - 0x7E);
    } else {
        j1 = static_cast<unsigned char>(row2 + 0x21);
        j2 = static_cast<unsigned char>(trail - (trail >= 0x80 ? 0x20 : 0x1F));
    }
    return true;
}

bool jisToSjis(unsigned char j1, unsigned char j2, std::string& out) {
    if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E) return false;
    const int r = j1 - 0x21;
    out.push_back(static_cast<char>(r / 2 + (r < 62 ? 0x81 : 0xC1)));
    if (r % 2 == 0) out.push_back(static_cast<char>(j2 + (j2 >= 0x60 ? 0x20 : 0x1F)));
    else out.push_back(static_cast<char>(j2 + 0x7E));
    return true;
}

// Shift_JIS bytes to ISO-2022-JP; half-width katakana as "ESC ( I" when
// allowed (50221), otherwise they must have been made full-width before.
bool sjisToIso2022Jp(std::string_view sjis, bool kanaEscape, std::string& out) {
    enum class Mode { Ascii, Jis, Kana } mode = Mode::Ascii;
    auto enter = [&](Mode m, std::string_view esc) {
        if (mode != m) out.append(esc);
        mode = m;
    };
    for (std::size_t i = 0; i < sjis.size(); ++i) {
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (b < 0x80) {
            if (b == 0x1B || b == 0x0E || b == 0x0F) return false;  // would read as a shift
            enter(Mode::Ascii, kEscAscii);
            out.push_back(static_cast<char>(b));
        } else if (b >= 0xA1 && b <= 0xDF) {
            if (!kanaEscape) return false;
            enter(Mode::Kana, kEscKana);
            out.push_back(static_cast<char>(b - 0x80));
        } else {
            unsigned char j1 = 0, j2 = 0;
            if (i + 1 >= sjis.size() || !sjisToJis(b, static_cast<unsigned char>(sjis[i + 1]), j1, j2)) return false;
            enter(Mode::Jis, kEscJis);
            out.push_back(static_cast<char>(j1));
            out.push_back(static_cast<char>(j2));
            ++i;
        }
    }
    enter(Mode::Ascii, kEscAscii);
    return true;
}

// ISO-2022-JP (any of the three forms, SO/SI kana included) to Shift_JIS.
bool iso2022JpToSjis(std::string_view in, std::string& out) {
    enum class Mode { Ascii, Jis, Kana } mode = Mode::Ascii;
    bool shiftedOut = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto b = static_cast<unsigned char>(in[i]);
        if (b == 0x1B) {
            std::string_view esc = in.substr(i + 1, 2);
            if (esc == "(B" || esc == "(J") mode = Mode::Ascii;
            else if (esc == "$B" || esc == "$@") mode = Mode::Jis;
            else if (esc == "(I") mode = Mode::Kana;
            else return false;
            i += 2;
        } else if (b == 0x0E || b == 0x0F) {
            shiftedOut = b == 0x0E;
        } else if (b >= 0xA1 && b <= 0xDF) {
            out.push_back(static_cast<char>(b));  // 8-bit kana some senders use
        } else if (b >= 0x80) {
            return false;
        } else if (b < 0x21 || b == 0x7F) {
            out.push_back(static_cast<char>(b));  // controls and blanks in any mode
        } else if (shiftedOut || mode == Mode::Kana) {
            if (b > 0x5F) return false;
            out.push_back(static_cast<char>(b + 0x80));
        } else if (mode == Mode::Jis) {
            if (i + 1 >= in.size() || !jisToSjis(b, static_cast<unsigned char>(in[i + 1]), out)) return false;
            ++i;
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    return true;
}

// Half-width katakana (U+FF61 to U+FF9F) to their full-width forms, a
// following voiced or semi-voiced mark joined to its letter.
void widenHalfwidthKana(std::u16string& s) {
    static constexpr char16_t kFull[] = {
        0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5,
        0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF, 0x30B1, 0x30B3,
        0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC,
        0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE, 0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4,
        0x30E6, 0x30E8, 0x30E9, 0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3, 0x309B, 0x309C};
    static_assert(std::size(kFull) == 0xFF9F - 0xFF61 + 1);
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u < 0xFF61 || u > 0xFF9F) {
            out.push_back(u);
            continue;
        }
        char16_t full = kFull[u - 0xFF61];
        const char16_t mark = i + 1 < s.size() ? s[i + 1] : 0;
        const bool voicedBase = (u >= 0xFF76 && u <= 0xFF84) || (u >= 0xFF8A && u <= 0xFF8E);
        if (mark == 0xFF9E && voicedBase) {
            ++full, ++i;
        } else if (mark == 0xFF9E && u == 0xFF73) {
            full = 0x30F4, ++i;  // VU
        } else if (mark == 0xFF9F && u >= 0xFF8A && u <= 0xFF8E) {
            full += 2, ++i;
        }
        out.push_back(full);
    }
    s = std::move(out);
}

bool convertIso2022Jp(int fromCodePage, int toCodePage, std::string_view in, std::string& out) {
    out.clear();
    std::string sjis;
    if (isIso2022Jp(fromCodePage)) {
        if (!iso2022JpToSjis(in, sjis)) return false;
        if (!isIso2022Jp(toCodePage)) return EncodingConvert::convert(codepage::kShiftJis, toCodePage, sjis, out);
        in = sjis;
        fromCodePage = codepage::kShiftJis;
    }
    std::u16string text;
    if (!EncodingConvert::toUtf16(fromCodePage, in, text)) return false;
    if (toCodePage != 50221) widenHalfwidthKana(text);
    std::string bytes;
    if (!EncodingConvert::fromUtf16(codepage::kShiftJis, text, bytes)) return false;
    return sjisToIso2022Jp(bytes, toCodePage == 50221, out);
}

}  // namespace

bool EncodingConvert::isSupported(int codePage) { return iconvName(codePage) != nullptr; }

bool EncodingConvert::convert(int fromCodePage, int toCodePage, std::string_view in, std::string& out) {
    const char* from = iconvName(fromCodePage);
    const char* to = iconvName(toCodePage);
    if (!from || !to) {
        out.clear();
        return false;
    }
    if (isIso2022Jp(fromCodePage) || isIso2022Jp(toCodePage))
        return convertIso2022Jp(fromCodePage, toCodePage, in, out);
    return runIconv(to, from, in, out);
}

bool EncodingConvert::convert(int fromCodePage, int toCodePage, std::string_view in, DataBuffer& out, LogBase& log) {
    if (convert(fromCodePage, toCodePage, in, out.raw())) return true;
    log.logError("Failed to convert between code pages");
    log.logDataLong("fromCodePage", fromCodePage);
    log.logDataLong("toCodePage", toCodePage);
    return false;
}

bool EncodingConvert::toUtf16(int fromCodePage, std::string_view in, std::u16string& out) {
    out.clear();
    if (fromCodePage == codepage::kUtf8) return utf8ToUtf16(in, out);
    std::string bytes;
    if (!convert(fromCodePage, codepage::kUtf16Le, in, bytes)) return false;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return true;
}

bool EncodingConvert::fromUtf16(int toCodePage, std::u16string_view in, std::string& out) {
    if (toCodePage == codepage::kUtf8) return utf16ToUtf8(in, out);
    std::string bytes;
    bytes.reserve(in.size() * 2);
    for (char16_t u : in) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return convert(codepage::kUtf16Le, toCodePage, bytes, out);
}

// ---- Charset choice ------------------------------------------------------

void UnicodeInfo::count(std::u16string_view text) {
    for (char16_t u : text) {
        if (u < 0x80) ++ascii;
        else if (u <= 0xFF) ++latin1;
        else if (u >= 0x100 && u <= 0x2FF) ++latinExt;
        else if (u >= 0x370 && u <= 0x3FF) ++greek;
        else if (u >= 0x400 && u <= 0x4FF) ++cyrillic;
        else if (u >= 0x590 && u <= 0x5FF) ++hebrew;
        else if (u >= 0x600 && u <= 0x6FF) ++arabic;
        else if (u >= 0xE00 && u <= 0xE7F) ++thai;
        else if ((u >= 0xAC00 && u <= 0xD7AF) || (u >= 0x1100 && u <= 0x11FF)) ++hangul;
        else if ((u >= 0x4E00 && u <= 0x9FAF) || (u >= 0x3400 && u <= 0x4DBF)) ++cjk;
        else if ((u >= 0x3040 && u <= 0x30FF) || (u >= 0x2F00 && u <= 0x2FDF)) ++kana;
        else if ((u >= 0x3000 && u <= 0x303F) || (u >= 0x3200 && u <= 0x32FF) || (u >= 0x25A0 && u <= 0x26FF) ||
                 (u >= 0xFE20 && u <= 0xFE6F) || (u >= 0xFF00 && u <= 0xFFEF))
            ;  // punctuation and symbols every East Asian charset has: no vote
        else ++other;
    }
}

int UnicodeInfo::scriptCount() const {
    int n = 0;
    for (std::size_t c : {greek, hebrew, arabic, kana, hangul, thai, cyrillic})
        if (c) ++n;
    return n;
}

namespace {
int pickCodePage(const UnicodeInfo& u, bool all7Bit) {
    using namespace codepage;
    const bool anyLatin = u.latin1 || u.latinExt;
    const bool beyondLatin = u.greek || u.cyrillic || u.hebrew || u.arabic || u.thai || u.hangul || u.cjk ||
                             u.kana || u.other;
    if (all7Bit) return 0;
    // Text made only of uncounted symbols is still not ASCII: it falls
    // through to utf-8 rather than going out with no charset at all.
    if (anyLatin && !beyondLatin) return u.latinExt ? kIso88592 : kIso88591;
    if (u.scriptCount() >= 2) return kUtf8;
    int cp = kUtf8;
    if (u.kana) cp = kShiftJis;
    else if (u.hangul) cp = kKsc5601;
    else if (u.cjk) cp = kGb2312;
    else if (u.hebrew) cp = kIso88598;
    else if (u.arabic) cp = kIso88596;
    else if (u.cyrillic) cp = kIso88595;
    else if (u.greek) cp = kIso88597;
    else if (u.thai) cp = kWindows874;
    if (anyLatin) cp = kUtf8;
    return cp;
}
}  // namespace

void chooseCharset(std::u16string_view text, Charset& out) {
    UnicodeInfo info;
    info.count(text);
    bool all7Bit = true;
    for (char16_t c : text)
        if (c >= 0x80) all7Bit = false;
    int cp = pickCodePage(info, all7Bit);
    if (cp == 0) {
        out.clear();
        return;
    }
    // The counters only look at script ranges; a range holds characters a
    // legacy charset lacks (Latvian letters are "Latin extended" but not in
    // iso-8859-2, the euro sign sits beside Cyrillic text). Such text would
    // lose characters on the way out, so it goes as utf-8 instead.
    std::string probe;
    if (cp != codepage::kUtf8 && !EncodingConvert::fromUtf16(cp, text, probe)) cp = codepage::kUtf8;
    out.setByCodePage(cp);
}

void chooseCharsetUtf8(std::string_view utf8, Charset& out) {
    std::u16string u;
    utf8ToUtf16(utf8, u);
    chooseCharset(u, out);
}

// ---- META charset --------------------------------------------------------

namespace {

// The value of one attribute inside a tag (quoted or bare), or nullopt.
bool tagAttribute(std::string_view tag, std::string_view attr, std::string& value) {
    std::size_t i = 0;
    while (i < tag.size()) {
        std::size_t hit = findNoCase(tag, attr, i);
        if (hit == std::string_view::npos) return false;
        i = hit + attr.size();
        // Must be a whole attribute name: blank (or quote) before, "=" after.
        char before = hit > 0 ? tag[hit - 1] : ' ';
        if (!(before == ' ' || before == '\t' || before == '\r' || before == '\n' || before == '"' || before == '\''))
            continue;
        std::size_t j = i;
        while (j < tag.size() && isBlankOrEol(tag[j])) ++j;
        if (j >= tag.size() || tag[j] != '=') continue;
        ++j;
        while (j < tag.size() && isBlankOrEol(tag[j])) ++j;
        if (j < tag.size() && (tag[j] == '"' || tag[j] == '\'')) {
            char q = tag[j++];
            std::size_t end = tag.find(q, j);
            if (end == std::string_view::npos) end = tag.size();
            value.assign(tag.substr(j, end - j));
        } else {
            std::size_t end = j;
            while (end < tag.size() && !isBlankOrEol(tag[end]) && tag[end] != '>' && tag[end] != '/') ++end;
            value.assign(tag.substr(j, end - j));
        }
        return true;
    }
    return false;
}

}  // namespace

std::string getHtmlMetaCharset(std::string_view html) {
    std::size_t pos = 0;
    for (;;) {
        std::size_t start = findNoCase(html, "<meta", pos);
        if (start == std::string_view::npos) return {};
        std::size_t end = html.find('>', start);
        std::string_view tag = html.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        // The next tag starts after this one's ">". A "<meta" before it is
        // inside this tag, not a tag of its own; taking it for one would
        // read the same text again for every such "<meta", and a tag
        // without ">" (which runs to the end) is the last one looked at.
        pos = end == std::string_view::npos ? html.size() : end + 1;
        std::string equiv, content;
        if (!tagAttribute(tag, "http-equiv", equiv) || !equalsNoCase(trimView(equiv), "content-type")) continue;
        if (!tagAttribute(tag, "content", content) || content.empty()) continue;
        std::size_t cs = findNoCase(content, "charset=");
        if (cs != std::string::npos) {
            std::string_view rest = std::string_view(content).substr(cs + 8);
            std::size_t stop = rest.find_first_of("\"; \t\r\n");
            return std::string(rest.substr(0, stop));
        }
        std::string charset;
        tagAttribute(tag, "charset", charset);
        return charset;
    }
}

}  // namespace zelmar::mail
