#include "mail/mime/address_parser.h"

#include <dlfcn.h>
#include <idn2.h>

#include <cctype>
#include <cstdlib>

namespace zelmar::mail {

namespace {

// libidn2, loaded at the first domain that is not plain ASCII: nearly every
// address is, and a run that reads none (a quiet timer tick) then never maps
// the library and the Unicode library it brings. Kept once loaded.
struct Idn2Functions {
    decltype(&idn2_to_ascii_8z) toAscii = nullptr;
    decltype(&idn2_free) release = nullptr;
};

const Idn2Functions* LoadedIdn2() {
    static const Idn2Functions* const loaded = []() -> const Idn2Functions* {
        void* handle = ::dlopen("libidn2.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) return nullptr;
        static Idn2Functions found;
        found.toAscii = reinterpret_cast<decltype(found.toAscii)>(::dlsym(handle, "idn2_to_ascii_8z"));
        found.release = reinterpret_cast<decltype(found.release)>(::dlsym(handle, "idn2_free"));
        return found.toAscii && found.release ? &found : nullptr;
    }();
    return loaded;
}

constexpr std::size_t kMaxLocalPart = 64;   // RFC 5321 4.5.3.1.1
constexpr std::size_t kMaxDomain = 255;     // RFC 5321 4.5.3.1.2

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool isWsp(char c) { return c == ' ' || c == '\t'; }

// atext of RFC 5322, plus every byte of a UTF-8 sequence (RFC 6532).
bool isAtext(unsigned char c) {
    if (c >= 0x80) return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Splits at commas outside quotes, comments and angle brackets; false when
// a quote, comment or bracket is left open.
bool splitTopLevel(std::string_view text, std::vector<std::string_view>& out) {
    bool quoted = false;
    int comment = 0;
    bool angle = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\') ++i;
            else if (c == '"') quoted = false;
        } else if (comment > 0) {
            if (c == '\\') ++i;
            else if (c == '(') ++comment;
            else if (c == ')') --comment;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            comment = 1;
        } else if (c == '<') {
            if (angle) return false;
            angle = true;
        } else if (c == '>') {
            if (!angle) return false;
            angle = false;
        } else if (c == ',' && !angle) {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (quoted || comment > 0 || angle) return false;
    out.push_back(text.substr(start));
    return true;
}

// The text with comments outside quoted strings replaced by a blank.
std::string withoutComments(std::string_view s) {
    std::string out;
    bool quoted = false;
    int comment = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (comment > 0) {
            if (c == '\\') ++i;
            else if (c == '(') ++comment;
            else if (c == ')' && --comment == 0) out.push_back(' ');
            continue;
        }
        if (quoted) {
            out.push_back(c);
            if (c == '\\' && i + 1 < s.size()) out.push_back(s[++i]);
            else if (c == '"') quoted = false;
            continue;
        }
        if (c == '(') comment = 1;
        else {
            if (c == '"') quoted = true;
            out.push_back(c);
        }
    }
    return out;
}

std::string_view trimWsp(std::string_view s) {
    while (!s.empty() && isWsp(s.front())) s.remove_prefix(1);
    while (!s.empty() && isWsp(s.back())) s.remove_suffix(1);
    return s;
}

// A display name: words (atoms or quoted strings) joined by one blank.
bool readPhrase(std::string_view s, std::string& name, std::string& error) {
    name.clear();
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        if (!name.empty()) name.push_back(' ');
        name += word;
        word.clear();
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (isControl(static_cast<unsigned char>(c)) && c != '\t') {
            error = "a control character in the display name";
            return false;
        }
        if (isWsp(c)) {
            flush();
        } else if (c == '"') {
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                if (isControl(static_cast<unsigned char>(s[i])) && s[i] != '\t') {
                    error = "a control character in the display name";
                    return false;
                }
                word.push_back(s[i]);
            }
        } else if (std::string_view("<>@,;:[]\\").find(c) != std::string_view::npos) {
            error = std::string("\"") + c + "\" in the display name";
            return false;
        } else {
            word.push_back(c);  // atoms, and "." as older programs write it
        }
    }
    flush();
    return true;
}

bool validLocal(std::string_view local) {
    if (local.empty() || local.size() > kMaxLocalPart) return false;
    if (local.front() == '.' || local.back() == '.') return false;
    for (std::size_t i = 0; i < local.size(); ++i) {
        const auto c = static_cast<unsigned char>(local[i]);
        if (c == '.') {
            if (local[i + 1] == '.') return false;
        } else if (!isAtext(c)) {
            return false;
        }
    }
    return validUtf8(local);
}

bool readAddrSpec(std::string_view s, Mailbox& box, std::string& error) {
    s = trimWsp(s);
    const std::size_t at = s.rfind('@');
    if (at == std::string_view::npos) {
        error = "no \"@\" in the address";
        return false;
    }
    std::string_view localText = s.substr(0, at);
    // A quoted local part is taken when its content is a plain local part
    // anyway ("bob"@x is bob@x); anything needing the quotes is refused.
    std::string local;
    if (localText.size() >= 2 && localText.front() == '"' && localText.back() == '"') {
        for (std::size_t i = 1; i + 1 < localText.size(); ++i) {
            if (localText[i] == '\\' && i + 2 < localText.size()) ++i;
            local.push_back(localText[i]);
        }
    } else {
        local.assign(localText);
    }
    if (!validLocal(local)) {
        error = "the part before \"@\" is not a valid address";
        return false;
    }
    std::string domain;
    if (!domainToAscii(s.substr(at + 1), domain)) {
        error = "the part after \"@\" is not a valid domain";
        return false;
    }
    box.local = std::move(local);
    box.domain = std::move(domain);
    return true;
}

bool readMailbox(std::string_view piece, Mailbox& box, std::string& error) {
    const std::string text = withoutComments(piece);
    const std::string_view s = trimWsp(text);
    bool quoted = false;
    std::size_t lt = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == '\\') ++i;
        else if (s[i] == '"') quoted = !quoted;
        else if (!quoted && s[i] == '<') {
            lt = i;
            break;
        }
    }
    if (lt == std::string_view::npos) {
        for (char c : s)
            if (isWsp(c)) {
                error = "a blank inside the address";
                return false;
            }
        return readAddrSpec(s, box, error);
    }
    const std::size_t gt = s.find('>', lt);
    if (gt == std::string_view::npos || !trimWsp(s.substr(gt + 1)).empty()) {
        error = "text after the closing \">\"";
        return false;
    }
    const std::string_view inner = s.substr(lt + 1, gt - lt - 1);
    for (char c : inner)
        if (isWsp(c) || c == '<') {
            error = "a blank or \"<\" inside the angle brackets";
            return false;
        }
    return readPhrase(s.substr(0, lt), box.name, error) && readAddrSpec(inner, box, error);
}

}  // namespace

bool Mailbox::needsSmtpUtf8() const {
    for (char c : local)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

bool isSafeEnvelopeAddress(std::string_view address) {
    for (char c : address) {
        const auto b = static_cast<unsigned char>(c);
        if (isControl(b) || c == ' ' || c == '<' || c == '>') return false;
    }
    return true;
}

bool domainToAscii(std::string_view domain, std::string& out) {
    out.clear();
    if (domain.empty() || domain.size() > kMaxDomain * 4) return false;
    if (domain.front() == '[') {
        // An address literal: [192.0.2.1] or [IPv6:...].
        if (domain.back() != ']' || domain.size() < 3) return false;
        for (char c : domain.substr(1, domain.size() - 2))
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != ':') return false;
        out.assign(domain);
        return true;
    }
    std::string ascii;
    bool allAscii = true;
    for (char c : domain)
        if (static_cast<unsigned char>(c) >= 0x80) allAscii = false;
    if (allAscii) {
        ascii.assign(domain);
    } else {
        if (!validUtf8(domain)) return false;
        // Without the library such a domain cannot be written in ASCII:
        // the address is refused like one that does not convert.
        const Idn2Functions* idn2 = LoadedIdn2();
        if (!idn2) return false;
        const std::string in(domain);
        char* converted = nullptr;
        if (idn2->toAscii(in.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT) != IDN2_OK) {
            if (converted) idn2->release(converted);
            return false;
        }
        ascii = converted;
        idn2->release(converted);
    }
    if (ascii.empty() || ascii.size() > kMaxDomain) return false;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= ascii.size(); ++i) {
        if (i == ascii.size() || ascii[i] == '.') {
            const std::size_t len = i - labelStart;
            if (len == 0 || len > 63 || ascii[labelStart] == '-' || ascii[i - 1] == '-') return false;
            labelStart = i + 1;
            continue;
        }
        const auto c = static_cast<unsigned char>(ascii[i]);
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
        ascii[i] = static_cast<char>(std::tolower(c));
    }
    out = std::move(ascii);
    return true;
}

AddressListResult parseAddressList(std::string_view text) {
    AddressListResult r;
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0') {
            r.error = "a line break in the address";
            return r;
        }
    std::vector<std::string_view> pieces;
    if (!splitTopLevel(text, pieces)) {
        r.error = "an unclosed quote, comment or angle bracket";
        return r;
    }
    for (std::string_view piece : pieces) {
        if (trimWsp(withoutComments(piece)).empty()) continue;
        Mailbox box;
        if (!readMailbox(piece, box, r.error)) {
            r.mailboxes.clear();
            return r;
        }
        r.mailboxes.push_back(std::move(box));
    }
    if (r.mailboxes.empty()) {
        r.error = "no address";
        return r;
    }
    r.ok = true;
    return r;
}

AddressListResult parseAddrSpec(std::string_view text) {
    AddressListResult r;
    std::string_view s = trimWsp(text);
    if (s.size() >= 2 && s.front() == '<' && s.back() == '>') s = s.substr(1, s.size() - 2);
    if (!isSafeEnvelopeAddress(s)) {
        r.error = "a blank, angle bracket or control character inside the address";
        return r;
    }
    Mailbox box;
    if (!readAddrSpec(s, box, r.error)) return r;
    r.mailboxes.push_back(std::move(box));
    r.ok = true;
    return r;
}

}  // namespace zelmar::mail
