#include "mail/base/unicode.h"

namespace zelmar::mail {

namespace {
constexpr char16_t kReplacement = 0xFFFD;

void putUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
}  // namespace

bool utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    bool ok = true;
    std::size_t i = 0;
    const std::size_t n = in.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int len = 0;
        char32_t cp = 0, min = 0;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
        bool bad = len == 0 || i + static_cast<std::size_t>(len) > n;
        for (int k = 1; !bad && k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(in[i + static_cast<std::size_t>(k)]);
            if ((cc & 0xC0) != 0x80) bad = true;
            else cp = (cp << 6) | (cc & 0x3F);
        }
        if (!bad && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) bad = true;
        if (bad) {
            ok = false;
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += static_cast<std::size_t>(len);
    }
    return ok;
}

bool utf16ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    bool ok = true;
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t u = in[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            putUtf8(0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00), out);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            ok = false;
            putUtf8(kReplacement, out);
        } else {
            putUtf8(u, out);
        }
    }
    return ok;
}

}  // namespace zelmar::mail
