#include "app/monitor/desktop_windows.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

namespace zelmar {

namespace {

// The case mapping of the C.UTF-8 locale covers all of Unicode's letters. It
// is used through its own locale object so that the program's global locale
// (which a front end may set) does not matter.
locale_t Utf8CaseLocale() {
    static const locale_t loc = [] {
        locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (l == static_cast<locale_t>(nullptr))
            l = ::newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

// Decodes one UTF-8 character at text[i]; returns its length, or 0 when the
// bytes there are not a valid sequence.
std::size_t DecodeUtf8(const std::string& text, std::size_t i, char32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    std::size_t len = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    // Over-long forms, surrogates and values beyond Unicode are not text.
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void EncodeUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

char32_t LowerCodePoint(char32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + ('a' - 'A') : cp;
    const locale_t loc = Utf8CaseLocale();
    if (loc == static_cast<locale_t>(nullptr)) return cp;
    const wint_t lower = ::towlower_l(static_cast<wint_t>(cp), loc);
    // Only a mapping that stays valid Unicode is taken.
    if (lower > 0x10FFFF || (lower >= 0xD800 && lower <= 0xDFFF)) return cp;
    return static_cast<char32_t>(lower);
}

}  // namespace

std::string FoldTitleCase(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(text, i, cp);
        if (len == 0) {
            out += text[i++];
            continue;
        }
        EncodeUtf8(LowerCodePoint(cp), out);
        i += len;
    }
    return out;
}

bool TitlesEqualNoCase(const std::string& a, const std::string& b) {
    if (a == b) return true;
    return FoldTitleCase(a) == FoldTitleCase(b);
}

std::string CutToCharacters(const std::string& text, std::size_t maxChars) {
    std::size_t i = 0, count = 0;
    while (i < text.size() && count < maxChars) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(text, i, cp);
        i += len == 0 ? 1 : len;
        ++count;
    }
    return text.substr(0, i);
}

bool DesktopWindows::FindByTitle(const std::string& title) {
    if (!Available()) return false;
    const std::string folded = FoldTitleCase(title);
    for (const TopLevelWindow& w : TopLevelWindows())
        if (w.title == title || FoldTitleCase(w.title) == folded) return true;
    return false;
}

}  // namespace zelmar
