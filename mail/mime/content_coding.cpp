#include "mail/mime/content_coding.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "mail/mime/charset.h"

namespace zelmar::mail {

namespace {

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

// Two output characters per 12 input bits: one table look-up writes half a
// group, which is what makes the body encoder fast.
struct Base64PairTable {
    std::array<char, 8192> pairs{};
    constexpr Base64PairTable() {
        for (int v = 0; v < 4096; ++v) {
            pairs[static_cast<std::size_t>(v) * 2] = kB64Alphabet[v >> 6];
            pairs[static_cast<std::size_t>(v) * 2 + 1] = kB64Alphabet[v & 63];
        }
    }
};
constexpr Base64PairTable kPairs;

inline char* putGroup(char* o, const unsigned char* p) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    std::memcpy(o, &kPairs.pairs[(v >> 12) * 2], 2);
    std::memcpy(o + 2, &kPairs.pairs[(v & 0xFFF) * 2], 2);
    return o + 4;
}

inline char* putTail(char* o, const unsigned char* p, std::size_t rem) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (rem == 2 ? std::uint32_t{p[1]} << 8 : 0);
    o[0] = kB64Alphabet[(v >> 18) & 63];
    o[1] = kB64Alphabet[(v >> 12) & 63];
    o[2] = rem == 2 ? kB64Alphabet[(v >> 6) & 63] : '=';
    o[3] = '=';
    return o + 4;
}

// Decoding values: 0..63 for the alphabet, kSkip for everything else.
constexpr unsigned char kSkip = 0xFF;
struct Base64DecodeTable {
    std::array<unsigned char, 256> v{};
    constexpr Base64DecodeTable() {
        for (auto& x : v) x = kSkip;
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kB64Alphabet[i])] = static_cast<unsigned char>(i);
    }
};
constexpr Base64DecodeTable kB64Decode;

// Quoted-printable byte classes.
enum : unsigned char { kQpLiteral = 0, kQpBlank = 1, kQpCr = 2, kQpEscape = 3 };
struct QpClassTable {
    std::array<unsigned char, 256> c{};
    constexpr QpClassTable() {
        for (int b = 0; b < 256; ++b) {
            unsigned char k = kQpEscape;
            if ((b >= 33 && b <= 60) || (b >= 62 && b <= 126)) k = kQpLiteral;
            else if (b == ' ' || b == '\t') k = kQpBlank;
            else if (b == '\r') k = kQpCr;
            c[static_cast<std::size_t>(b)] = k;
        }
    }
};
constexpr QpClassTable kQpClass;

inline char* putEscape(char* o, unsigned char b) {
    o[0] = '=';
    o[1] = kHexUpper[b >> 4];
    o[2] = kHexUpper[b & 15];
    return o + 3;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// ---- base64 --------------------------------------------------------------

void ContentCoding::encodeBase64Body(std::string_view bytes, std::string& out) const {
    const std::size_t n = bytes.size();
    if (n == 0) return;
    // A line ends once it holds at least the line length, so it carries
    // whole groups: ceil(length / 4) of them.
    const std::size_t groupsPerLine = (static_cast<std::size_t>(lineLength_) + 3) / 4;
    const std::size_t full = n / 3;
    const std::size_t rem = n % 3;
    const std::size_t breaks = full / groupsPerLine;
    const std::size_t outLen = full * 4 + breaks * 2 + (rem ? 4 : 0) + 2;

    const std::size_t start = out.size();
    out.resize(start + outLen);
    char* o = out.data() + start;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());

    for (std::size_t line = 0; line < breaks; ++line) {
        for (std::size_t g = 0; g < groupsPerLine; ++g, p += 3) o = putGroup(o, p);
        *o++ = '\r';
        *o++ = '\n';
    }
    for (std::size_t g = breaks * groupsPerLine; g < full; ++g, p += 3) o = putGroup(o, p);
    if (rem) o = putTail(o, p, rem);
    *o++ = '\r';
    *o++ = '\n';
}

void ContentCoding::encodeBase64(std::string_view bytes, std::string& out) {
    const std::size_t n = bytes.size();
    const std::size_t full = n / 3, rem = n % 3;
    const std::size_t start = out.size();
    out.resize(start + full * 4 + (rem ? 4 : 0));
    char* o = out.data() + start;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t g = 0; g < full; ++g, p += 3) o = putGroup(o, p);
    if (rem) putTail(o, p, rem);
}

std::string ContentCoding::encodeBase64(std::string_view bytes) {
    std::string out;
    encodeBase64(bytes, out);
    return out;
}

void ContentCoding::decodeBase64(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size() / 4 * 3 + 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        // Only the 64 alphabet characters carry data. Anything else (line
        // breaks, blanks, and stray punctuation such as "-" or "." from a
        // mangled body) is skipped rather than decoded into garbage bits.
        unsigned char v = kB64Decode.v[static_cast<unsigned char>(ch)];
        if (v == kSkip) continue;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
}

// ---- quoted-printable ----------------------------------------------------

namespace {
inline bool crlfAt(const unsigned char* in, std::size_t n, std::size_t k) {
    return k + 1 < n && in[k] == '\r' && in[k + 1] == '\n';
}

struct QpState {
    std::size_t i = 0;  // next input byte
    std::size_t lineLen = 0;
    bool atLineStart = true;
};

// The body of the quoted-printable encoder, on raw pointers so that the
// output stores cannot be taken to alias the loop state. Encodes from
// st.i until at least `stop` (look-ahead may see the whole input) and
// leaves the state ready for the next block.
char* qpEncode(const unsigned char* in, std::size_t n, std::size_t stop, std::size_t limit, char* o, QpState& st) {
    std::size_t lineLen = st.lineLen;
    bool atLineStart = st.atLineStart;
    std::size_t i = st.i;
    while (i < stop) {
        // Fast path, in the middle of a line while no soft break can fall
        // due: plain bytes, inner blanks and escapes of bytes that need no
        // look-ahead.
        if (!atLineStart) {
            while (i < stop) {
                const unsigned char b = in[i];
                const unsigned char k = kQpClass.c[b];
                if (k == kQpLiteral) {
                    if (lineLen + 1 >= limit) break;
                    *o++ = static_cast<char>(b);
                    ++lineLen;
                } else if (k == kQpEscape) {
                    if (lineLen + 3 >= limit) break;
                    o = putEscape(o, b);
                    lineLen += 3;
                } else if (k == kQpBlank && i + 1 < n && in[i + 1] != '\r') {
                    if (lineLen + 1 >= limit) break;
                    *o++ = static_cast<char>(b);
                    ++lineLen;
                } else {
                    break;
                }
                ++i;
            }
            if (i >= stop) break;
        }

        const unsigned char b = in[i];
        bool lineStartEscape = false;
        if (atLineStart) {
            atLineStart = false;
            // A lone "." line ends the SMTP DATA phase and a "From " line
            // gets mangled by mbox writers; escaping the first character
            // keeps both intact.
            lineStartEscape = b == '.' || (b == 'F' && n - i >= 5 && std::memcmp(in + i + 1, "rom ", 4) == 0);
        }
        if (lineStartEscape) {
            o = putEscape(o, b);
            lineLen += 3;
        } else {
            switch (kQpClass.c[b]) {
            case kQpLiteral:
                *o++ = static_cast<char>(b);
                ++lineLen;
                break;
            case kQpBlank:
                // Trailing blanks are stripped by some gateways; escape them.
                if (i + 1 == n || crlfAt(in, n, i + 1)) {
                    o = putEscape(o, b);
                    lineLen += 3;
                } else {
                    *o++ = static_cast<char>(b);
                    ++lineLen;
                }
                break;
            case kQpCr:
                if (i + 1 < n && in[i + 1] == '\n') {
                    *o++ = '\r';
                    *o++ = '\n';
                    i += 2;
                    lineLen = 0;
                    atLineStart = true;
                    continue;
                }
                o = putEscape(o, b);
                lineLen += 3;
                break;
            default:
                o = putEscape(o, b);
                lineLen += 3;
                break;
            }
        }
        ++i;
        if (lineLen >= limit && !crlfAt(in, n, i)) {
            *o++ = '=';
            *o++ = '\r';
            *o++ = '\n';
            lineLen = 0;
            atLineStart = true;
        }
    }
    st.i = i;
    st.lineLen = lineLen;
    st.atLineStart = atLineStart;
    return o;
}
}  // namespace

void ContentCoding::encodeQuotedPrintable(std::string_view bytes, std::string& out) const {
    const std::size_t n = bytes.size();
    if (n == 0) return;
    const std::size_t limit = static_cast<std::size_t>(lineLength_);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    // Encode block by block into a scratch buffer sized for the worst case
    // (every byte escaped, a soft break per line, one CRLF step past the
    // block end); sizing the whole output for the worst case up front
    // would mean clearing three times the input for nothing.
    constexpr std::size_t kBlock = 16384;
    const std::size_t blockBound = (kBlock + 2) * 3 + ((kBlock + 2) * 3 / (limit - 2) + 2) * 3;
    auto scratch = std::make_unique_for_overwrite<char[]>(blockBound);
    out.reserve(out.size() + n + n / 8);
    QpState st;
    while (st.i < n) {
        const std::size_t stop = std::min(n, st.i + kBlock);
        char* end = qpEncode(in, n, stop, limit, scratch.get(), st);
        out.append(scratch.get(), static_cast<std::size_t>(end - scratch.get()));
    }
}

void ContentCoding::decodeQuotedPrintable(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '=') {
            out.push_back(c);
            continue;
        }
        if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') {
            i += 1;
            continue;
        }
        int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            out.push_back(c);
            continue;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
}

// ---- Q and B words -------------------------------------------------------

namespace {
bool isPhraseQByte(unsigned char b) {
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '!' || b == '*' ||
           b == '+' || b == '-' || b == '/';
}
}  // namespace

void ContentCoding::encodeQ(std::string_view bytes, std::string& out, QText use) {
    out.reserve(out.size() + bytes.size() * 3);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        const bool asIs = use == QText::Phrase ? isPhraseQByte(b)
                                               : (b >= 33 && b <= 60) || b == 62 || (b >= 64 && b <= 94) ||
                                                     (b >= 96 && b <= 126);
        if (asIs) {
            out.push_back(ch);
        } else if (b == ' ') {
            out.push_back('_');
        } else {
            out.push_back('=');
            out.push_back(kHexUpper[b >> 4]);
            out.push_back(kHexUpper[b & 15]);
        }
    }
}

namespace {

// Cuts bytes of a charset into pieces for separate encoded words. Each word
// must decode on its own, so the cut goes through UTF-16 units of whole
// characters, never through a multi-byte character or a surrogate pair.
std::vector<std::string> splitForWords(std::string_view bytes, std::string_view charsetName, std::size_t units) {
    std::vector<std::string> pieces;
    Charset cs;
    int cp = cs.setByName(charsetName) ? cs.getCodePage() : 0;
    std::u16string text;
    if (cp && EncodingConvert::toUtf16(cp, bytes, text)) {
        bool ok = true;
        for (std::size_t i = 0; i < text.size() && ok;) {
            std::size_t len = std::min(units, text.size() - i);
            if (len > 1 && i + len < text.size() && text[i + len - 1] >= 0xD800 && text[i + len - 1] <= 0xDBFF) --len;
            std::string piece;
            ok = EncodingConvert::fromUtf16(cp, std::u16string_view(text).substr(i, len), piece);
            pieces.push_back(std::move(piece));
            i += len;
        }
        if (ok) return pieces;
        pieces.clear();
    }
    // No converter for the charset, or bytes that are not valid in it: cut
    // by bytes, but keep UTF-8 sequences whole, which is what such text
    // most often is.
    const std::size_t maxBytes = units * 2;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t len = std::min(maxBytes, bytes.size() - i);
        if (i + len < bytes.size()) {
            std::size_t back = len;
            while (back > 1 && (static_cast<unsigned char>(bytes[i + back]) & 0xC0) == 0x80 && len - back < 3) --back;
            if ((static_cast<unsigned char>(bytes[i + back]) & 0xC0) != 0x80) len = back;
        }
        pieces.emplace_back(bytes.substr(i, len));
        i += len;
    }
    return pieces;
}

using QText = ContentCoding::QText;

void appendWord(std::string_view charsetName, char enc, QText use, std::string_view bytes, std::string& out) {
    out.append("=?");
    out.append(charsetName.empty() ? std::string_view("utf-8") : charsetName);
    out.push_back('?');
    out.push_back(enc);
    out.push_back('?');
    if (enc == 'Q') ContentCoding::encodeQ(bytes, out, use);
    else ContentCoding::encodeBase64(bytes, out);
    out.append("?=");
}

// RFC 2047 section 2: an encoded word is at most 75 characters long.
constexpr std::size_t kMaxEncodedWord = 75;

// One piece as one word when that fits in 75 characters, else as several
// words made from smaller pieces (whole characters each). A piece of one
// character is written as it is: it cannot be split further.
void appendFittingWords(std::string_view name, char enc, QText use, std::string_view piece, std::size_t units,
                        bool& first, std::string& out) {
    std::string word;
    appendWord(name, enc, use, piece, word);
    for (std::size_t u = units; word.size() > kMaxEncodedWord && u > 1;) {
        u = (u + 1) / 2;
        const std::vector<std::string> smaller = splitForWords(piece, name, u);
        if (smaller.size() > 1) {
            for (const std::string& p : smaller) appendFittingWords(name, enc, use, p, u, first, out);
            return;
        }
    }
    if (!first) out.append("\r\n\t");
    first = false;
    out.append(word);
}

void encodeWords(std::string_view bytes, std::string_view charsetName, char enc, QText use, std::size_t single,
                 std::size_t units, std::string& out) {
    std::string_view name = charsetName.empty() ? std::string_view("utf-8") : charsetName;
    bool first = true;
    if (bytes.size() <= single) {
        appendFittingWords(name, enc, use, bytes, units, first, out);
        return;
    }
    for (const std::string& piece : splitForWords(bytes, name, units))
        appendFittingWords(name, enc, use, piece, units, first, out);
}

}  // namespace

void ContentCoding::encodeQWord(std::string_view bytes, std::string_view charsetName, std::string& out, QText use) {
    encodeWords(bytes, charsetName, 'Q', use, 34, 17, out);
}

void ContentCoding::encodeBWord(std::string_view bytes, std::string_view charsetName, std::string& out) {
    encodeWords(bytes, charsetName, 'B', QText::Text, 23, 12, out);
}

void ContentCoding::encodePhrase(std::string_view bytes, std::string_view charsetName, PhraseUse use,
                                 std::string& out) {
    if (use == PhraseUse::AddressList) {
        std::string_view head = bytes.substr(0, 100);
        if (containsNoCase(head, "?Q?") || containsNoCase(head, "?B?")) {
            out.append(bytes);
            return;
        }
    } else if (bytes.starts_with("\xEF\xBB\xBF") && (charsetName.empty() || equalsNoCase(charsetName, "utf-8"))) {
        bytes.remove_prefix(3);
    }
    if (charsetPrefersBWord(charsetName)) encodeBWord(bytes, charsetName, out);
    else encodeQWord(bytes, charsetName, out, QText::Phrase);
}

namespace {

struct EncodedWord {
    std::size_t begin = 0, end = 0;
    std::string charset;
    std::string bytes;
};

// Finds where the text of an encoded word starting at a position ends: at
// the next "?=", or at the next blank, which the text of a word never holds
// (then there is no word). The last answer is kept: a text full of "=?"
// that never closes must not be scanned to its end once for every "=?".
class WordEndFinder {
public:
    explicit WordEndFinder(std::string_view s) : s_(s) {}

    // The position of the closing "?=", or npos.
    std::size_t closeFrom(std::size_t from) {
        // No blank and no "?=" starts in [from_, stop_), so the answer for
        // any position in that range is the one found before.
        if (!(from_ <= from && from <= stop_)) {
            from_ = from;
            stop_ = from;
            while (stop_ < s_.size() && !isBlankOrEol(s_[stop_]) &&
                   !(s_[stop_] == '?' && stop_ + 1 < s_.size() && s_[stop_ + 1] == '='))
                ++stop_;
        }
        return stop_ + 1 < s_.size() && s_[stop_] == '?' ? stop_ : std::string_view::npos;
    }

private:
    std::string_view s_;
    std::size_t from_ = 1, stop_ = 0;  // an empty range: nothing known yet
};

// Parses "=?charset?X?text?=" at pos; false if it is not a well-formed word.
bool parseWord(std::string_view s, std::size_t pos, WordEndFinder& ends, EncodedWord& w) {
    if (s.compare(pos, 2, "=?") != 0) return false;
    std::size_t q1 = s.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 == pos + 2 || q1 + 2 >= s.size() || s[q1 + 2] != '?') return false;
    std::string_view charset = s.substr(pos + 2, q1 - pos - 2);
    if (charset.find_first_of(" \t\r\n") != std::string_view::npos) return false;
    char enc = asciiUpper(s[q1 + 1]);
    if (enc != 'B' && enc != 'Q') return false;
    std::size_t textStart = q1 + 3;
    std::size_t close = ends.closeFrom(textStart);
    if (close == std::string_view::npos) return false;
    std::string_view text = s.substr(textStart, close - textStart);
    // RFC 2231 language suffix: "utf-8*en".
    std::size_t star = charset.find('*');
    w.charset.assign(charset.substr(0, star));
    w.bytes.clear();
    if (enc == 'B') {
        ContentCoding::decodeBase64(text, w.bytes);
    } else {
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '_') {
                w.bytes.push_back(' ');
            } else if (c == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                       hexValue(text[i + 2]) >= 0) {
                w.bytes.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
                i += 2;
            } else {
                w.bytes.push_back(c);
            }
        }
    }
    w.begin = pos;
    w.end = close + 2;
    return true;
}

bool toUtf8(const std::string& charset, const std::string& bytes, std::string& out) {
    if (equalsNoCase(charset, "8bit")) {
        out = bytes;
        return true;
    }
    Charset cs;
    if (!cs.setByName(charset)) return false;
    return EncodingConvert::convert(cs.getCodePage(), codepage::kUtf8, bytes, out);
}

bool onlyBlanks(std::string_view s) {
    for (char c : s)
        if (!isBlankOrEol(c)) return false;
    return true;
}

}  // namespace

std::string ContentCoding::decodeEncodedWords(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // Adjacent words of one charset are decoded together: a sender may cut
    // a multi-byte character across two words, and the white space between
    // adjacent words is folding, not text (RFC 2047 section 6.2).
    std::string runCharset, runBytes, runRaw;
    bool inRun = false;
    auto flush = [&]() -> bool {
        if (!inRun) return true;
        inRun = false;
        std::string converted;
        if (toUtf8(runCharset, runBytes, converted)) {
            out.append(converted);
            return true;
        }
        out.append(runRaw);  // unknown charset or bad bytes: keep the words as written
        return false;
    };

    WordEndFinder ends(text);
    std::size_t i = 0;
    for (;;) {
        std::size_t hit = text.find("=?", i);
        EncodedWord w;
        while (hit != std::string_view::npos && !parseWord(text, hit, ends, w)) hit = text.find("=?", hit + 1);
        if (hit == std::string_view::npos) {
            flush();
            out.append(text.substr(i));
            return out;
        }
        std::string_view gap = text.substr(i, w.begin - i);
        std::string_view raw = text.substr(w.begin, w.end - w.begin);
        if (inRun && onlyBlanks(gap) && equalsNoCase(runCharset, w.charset)) {
            runBytes += w.bytes;
            runRaw.append(gap).append(raw);
        } else {
            bool adjacent = inRun && onlyBlanks(gap);
            bool ok = flush();
            if (!adjacent || !ok) out.append(gap);
            inRun = true;
            runCharset = w.charset;
            runBytes = w.bytes;
            runRaw.assign(raw);
        }
        i = w.end;
    }
}

// ---- hexadecimal ---------------------------------------------------------

void ContentCoding::appendHexUpper(std::string_view bytes, std::string& out) {
    for (char c : bytes) {
        out.push_back(kHexUpper[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kHexUpper[static_cast<unsigned char>(c) & 15]);
    }
}

void ContentCoding::appendHexLower(std::string_view bytes, std::string& out) {
    for (char c : bytes) {
        out.push_back(kHexLower[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kHexLower[static_cast<unsigned char>(c) & 15]);
    }
}

bool ContentCoding::decodeHex(std::string_view hex, std::string& out) {
    if (hex.size() % 2) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]), lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

// ---- helpers -------------------------------------------------------------

bool charsetPrefersBWord(std::string_view charsetName) {
    static constexpr const char* kBCharsets[] = {
        "shift_jis", "shift-jis", "iso-2022-jp", "euc-jp",  "euc-kr",      "iso-2022-kr", "gb2312",
        "hz-gb-2312", "euc-cn",   "cp-936",      "euc-tw",  "big5",        "cp-950",      "cp-932",
        "tis-620",   "windows-874", "iso-8859-9", "windows-1254", "iso-8859-6", "windows-1256", "cp-1256"};
    for (const char* n : kBCharsets)
        if (equalsNoCase(charsetName, n)) return true;
    return false;
}

bool logDataQuotedPrintable(LogBase& log, const char* name, std::string_view value) {
    ContentCoding cc;
    std::string qp;
    cc.encodeQuotedPrintable(value, qp);
    return log.logData(name, qp.c_str());
}

}  // namespace zelmar::mail
