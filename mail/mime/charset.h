// Charsets and code-page conversion.
//
// Charsets are identified by Windows code-page numbers, because those are
// what the message model stores; the conversions themselves run through
// glibc iconv under the matching iconv name. Conversions are strict: a byte
// sequence that is invalid in the source, or a character the target cannot
// hold, makes the conversion fail instead of silently turning into "?".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/base/log_base.h"
#include "mail/base/string_buffer.h"

namespace zelmar::mail {

namespace codepage {
constexpr int kUsAscii = 20127;
constexpr int kIso88591 = 28591;
constexpr int kIso88592 = 28592;
constexpr int kIso88595 = 28595;
constexpr int kIso88596 = 28596;
constexpr int kIso88597 = 28597;
constexpr int kIso88598 = 28598;
constexpr int kWindows874 = 874;
constexpr int kShiftJis = 932;
constexpr int kGb2312 = 936;
constexpr int kKsc5601 = 949;
constexpr int kBig5 = 950;
constexpr int kUtf16Le = 1200;
constexpr int kUtf16Be = 1201;
constexpr int kWindows1252 = 1252;
constexpr int kWindows1256 = 1256;
constexpr int kUtf7 = 65000;
constexpr int kUtf8 = 65001;
constexpr int kIso2022Jp = 50220;
constexpr int kIso2022Kr = 50225;
}  // namespace codepage

// One row of the code-page table.
struct CodePageInfo {
    const char* name;   // canonical lower-case name
    int codePage;
    const char* iconv;  // glibc iconv name, or null when there is no converter
};

// The whole table, in table order (138 names; iso-2022-jp appears for two
// code pages).
const CodePageInfo* codePageTable(std::size_t& count);
const CodePageInfo* findCodePage(int codePage);
// Code page for a name or alias (already normalised: lower case, "-" for
// "_"), or 0.
int codePageForName(std::string_view normalisedName);

class Charset {
public:
    Charset() = default;

    // Both setters clear the charset when the name or code page is unknown
    // and return whether a charset is now set.
    bool setByCodePage(int codePage);
    bool setByName(std::string_view name);
    void clear();
    void copyFrom(const Charset& other) { *this = other; }

    int getCodePage() const { return codePage_; }
    const StringBuffer& getName() const { return name_; }
    bool isSet() const { return codePage_ != 0; }

private:
    StringBuffer name_;
    std::int32_t codePage_ = 0;
};

class EncodingConvert {
public:
    // Converts between code pages; false when a code page has no converter,
    // the input is malformed, or the target cannot represent a character.
    // The output is cleared first.
    static bool convert(int fromCodePage, int toCodePage, std::string_view in, DataBuffer& out, LogBase& log);
    static bool convert(int fromCodePage, int toCodePage, std::string_view in, std::string& out);

    static bool toUtf16(int fromCodePage, std::string_view in, std::u16string& out);
    static bool fromUtf16(int toCodePage, std::u16string_view in, std::string& out);

    // Whether the platform can convert to and from this code page.
    static bool isSupported(int codePage);
};

// Script counters over UTF-16 text, the basis of the charset choice.
struct UnicodeInfo {
    std::size_t ascii = 0, latin1 = 0, latinExt = 0, greek = 0, cyrillic = 0, hebrew = 0, arabic = 0, thai = 0,
                hangul = 0, cjk = 0, kana = 0, other = 0;

    void count(std::u16string_view text);
    // How many of Greek, Hebrew, Arabic, kana, Hangul, Thai and Cyrillic occur.
    int scriptCount() const;
};

// Picks a charset for text a caller sets; clears it for empty or ASCII text.
void chooseCharset(std::u16string_view text, Charset& out);
void chooseCharsetUtf8(std::string_view utf8, Charset& out);

// The charset an HTML document declares in a META tag, or "".
std::string getHtmlMetaCharset(std::string_view html);

}  // namespace zelmar::mail
