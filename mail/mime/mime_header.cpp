#include "mail/mime/mime_header.h"

#include <vector>

#include "mail/mime/address_parser.h"
#include "mail/mime/content_coding.h"

namespace zelmar::mail {

namespace {

// Values of these fields are lists of tokens that some servers refuse to
// see folded.
bool isNoFoldName(std::string_view name) {
    return equalsNoCase(name, "user-agent") || equalsNoCase(name, "accept") || equalsNoCase(name, "accept-charset");
}

// Charsets whose header text is written with B words and the placement
// rules for every value: CJK, Thai, Korean Johab, the 50001-64999 range
// (ISO-2022 and EUC families), UTF-16 and the Arabic pages.
bool isBCodePage(int cp) {
    switch (cp) {
    case 932: case 936: case 949: case 950: case 874: case 1361: case 52936:
    case codepage::kUtf16Le: case codepage::kUtf16Be: case codepage::kWindows1256: case codepage::kIso88596:
        return true;
    default:
        return cp >= 50001 && cp <= 64999;
    }
}

bool isIso2022OrUtf7(int cp) { return (cp >= 50220 && cp <= 50230) || cp == codepage::kUtf7; }

// Inserts CRLF TAB after ";" (and after "," for long address lists) outside
// double quotes once the current line is longer than 20 characters. Inside
// quotes a backslash escapes the next character, so an escaped quote does
// not end them.
void fold7Bit(std::string_view value, std::size_t startColumn, std::string& out) {
    const bool foldCommas = value.size() > 60 && value.find('@') != std::string_view::npos &&
                            value.find(',') != std::string_view::npos;
    std::size_t line = startColumn;
    bool quoted = false;
    bool escaped = false;  // the previous character was a backslash inside quotes
    for (char c : value) {
        out.push_back(c);
        ++line;
        if (escaped) escaped = false;
        else if (quoted && c == '\\') escaped = true;
        else if (c == '"') quoted = !quoted;
        if (!quoted && (c == ';' || (foldCommas && c == ',')) && line > 20) {
            out.append("\r\n\t");
            line = 0;
        }
    }
}

std::vector<std::string_view> splitOutsideQuotes(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == '\\') ++i;  // a quoted pair: the next character is text
        else if (s[i] == '"') quoted = !quoted;
        else if (s[i] == sep && !quoted) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

// The text of a display name: without its surrounding double quotes and
// with the backslash escapes inside them undone, so that what gets encoded
// is the name itself and not its quoting.
std::string stripQuotes(std::string_view s) {
    s = trimView(s);
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
    s = s.substr(1, s.size() - 2);
    std::string text;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        text.push_back(s[i]);
    }
    return std::string(trimView(text));
}

// Writes a 7-bit display name as a quoted string.
void appendQuoted(std::string_view text, std::string& out) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// How one 8-bit (or forced) value gets written: which charset the encoded
// words declare and whether they are Q or B.
struct WordPlan {
    int codePage = codepage::kUtf8;
    std::string charsetName = "utf-8";
    bool bWords = false;
    bool forceEncode = false;  // 7-bit text is encoded too (ISO-2022 subjects)

    void encode(std::string_view utf8, std::string& out,
                ContentCoding::QText use = ContentCoding::QText::Text) const {
        std::string bytes;
        if (codePage == codepage::kUtf8 || !EncodingConvert::convert(codepage::kUtf8, codePage, utf8, bytes))
            bytes.assign(utf8);
        if (bWords) ContentCoding::encodeBWord(bytes, charsetName, out);
        else ContentCoding::encodeQWord(bytes, charsetName, out, use);
    }
};

class FieldWriter {
public:
    FieldWriter(std::string_view name, const WordPlan& plan, std::string& out)
        : name_(name), plan_(plan), out_(out) {}

    // A phrase: copied when 7-bit; otherwise names in front of bracketed
    // addresses are encoded and the addresses copied; other text is encoded
    // whole. A phrase written inside double quotes (a parameter value) is
    // never folded: the break would become part of the value.
    void phrase(std::string_view text, std::string& out, bool quoted = false) const {
        if (isAll7Bit(text) && !plan_.forceEncode) {
            if (!quoted && name_.size() + 2 + text.size() >= 66) fold7Bit(text, name_.size() + 2, out);
            else out.append(text);
            return;
        }
        if (text.find('<') == std::string_view::npos) {
            plan_.encode(text, out);
            return;
        }
        std::size_t sinceBreak = out.size();
        bool first = true;
        for (std::string_view one : splitOutsideQuotes(text, ',')) {
            // A blank goes between an address and the comma before it; the
            // first one follows the field's own ": ".
            if (first) {
                while (!one.empty() && isBlankOrEol(one.front())) one.remove_prefix(1);
            } else {
                out.push_back(',');
                if (out.size() - sinceBreak > 40) {
                    out.append("\r\n\t");
                    sinceBreak = out.size();
                }
            }
            const bool afterComma = !first;
            first = false;
            std::size_t lt = one.rfind('<');
            if (lt == std::string_view::npos) {
                std::string_view t = trimView(one);
                if (!isAll7Bit(t) || plan_.forceEncode) {
                    if (afterComma) out.push_back(' ');
                    plan_.encode(t, out);
                } else {
                    out.append(one);
                }
                continue;
            }
            const std::string display = stripQuotes(one.substr(0, lt));
            std::string_view addr = trimView(one.substr(lt));
            if (one.substr(0, 1) == " ") out.push_back(' ');
            if (!display.empty()) {
                if (isAll7Bit(display) && !plan_.forceEncode) {
                    appendQuoted(display, out);
                } else {
                    // One phrase, whatever it holds ("Ünal, Ayşe"): its
                    // words must not read as address syntax.
                    plan_.encode(display, out, ContentCoding::QText::Phrase);
                }
                out.push_back(' ');
            }
            out.append(addr);
        }
    }

    void placement(std::string_view value) {
        if (equalsNoCase(name_, "subject") || equalsNoCase(name_, "thread-topic")) {
            if (isAll7Bit(value) && !plan_.forceEncode) out_.append(value);
            else plan_.encode(value, out_);
            return;
        }
        if (equalsNoCase(name_, "received") || equalsNoCase(name_, "content-transfer-encoding")) {
            out_.append(value);
            return;
        }
        // A ";" inside quotes (a display name) makes no parameter list.
        std::vector<std::string_view> pieces = splitOutsideQuotes(value, ';');
        if (pieces.size() == 1) {
            phrase(value, out_);
            return;
        }
        std::string line;
        phrase(trimView(pieces[0]), line);
        const bool firstOwnLine = line.size() > 34;  // the segment as written, before its ";"
        line.push_back(';');
        bool lineHasParams = false;
        for (std::size_t k = 1; k < pieces.size(); ++k) {
            std::string_view p = trimView(pieces[k]);
            if (p.empty()) continue;
            std::string piece;
            std::size_t eq = p.find('=');
            if (eq == std::string_view::npos) {
                piece.append(p);
            } else {
                piece.append(trimView(p.substr(0, eq)));
                piece.append("=\"");
                std::string val(trimView(p.substr(eq + 1)));
                std::erase(val, '"');
                phrase(trimView(val), piece, true);
                piece.push_back('"');
            }
            if (k + 1 < pieces.size()) piece.push_back(';');
            const bool breakHere = (firstOwnLine && !lineHasParams) || line.size() + 1 + piece.size() >= 65;
            if (breakHere) {
                out_.append(line);
                out_.append("\r\n\t");
                line = std::move(piece);
            } else {
                line.push_back(' ');
                line.append(piece);
            }
            lineHasParams = true;
        }
        out_.append(line);
    }

private:
    std::string_view name_;
    const WordPlan& plan_;
    std::string& out_;
};

}  // namespace

// ---- MimeField -----------------------------------------------------------

bool isValidFieldName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b < 33 || b > 126 || c == ':') return false;
    }
    return true;
}

MimeField::MimeField(std::string_view name, std::string_view value) : name_(name) {
    noFold_ = isNoFoldName(name);
    setValue(value);
}

namespace {

bool isAddressFieldName(std::string_view name) {
    for (const char* n : {"from", "to", "cc", "bcc", "reply-to", "sender"})
        if (equalsNoCase(name, n)) return true;
    return false;
}

// An address list with its display names decoded. A name decoded from
// encoded words is put in double quotes when it holds address syntax
// ("Ünal, Ayşe"): decoded bare, its comma would split one recipient into
// two when the value is written out again (a message read back for
// sending is).
std::string decodeAddressListWords(std::string_view value) {
    std::string out;
    for (std::string_view piece : splitOutsideQuotes(value, ',')) {
        if (!out.empty()) out.push_back(',');
        const std::size_t lt = piece.rfind('<');
        const std::string_view display = lt == std::string_view::npos ? std::string_view() : trimView(piece.substr(0, lt));
        if (display.empty() || display.front() == '"' || display.find("=?") == std::string_view::npos) {
            out.append(ContentCoding::decodeEncodedWords(piece));
            continue;
        }
        const std::string name = ContentCoding::decodeEncodedWords(display);
        if (piece.front() == ' ') out.push_back(' ');
        if (name.find_first_of(",;:<>@\"()[]\\.") == std::string::npos) out.append(name);
        else appendQuoted(name, out);
        out.push_back(' ');
        out.append(trimView(piece.substr(lt)));
    }
    return out;
}

}  // namespace

void MimeField::setValue(std::string_view value) {
    std::string v;
    if (!containsNoCase(value, "?Q?") && !containsNoCase(value, "?B?")) v.assign(value);
    else if (isAddressFieldName(name_.view())) v = decodeAddressListWords(value);
    else v = ContentCoding::decodeEncodedWords(value);
    if (v.find('\n') != std::string::npos) {
        StringBuffer sb(v);
        sb.replaceAll("\r\n\t", "");
        sb.replaceAll("\r\n ", "");
        v = sb.str();
    }
    // Whatever line break is left (a bare CR or LF, or one that a decoded
    // word carried in) would end the field early and let the rest pose as
    // a header line of its own; a stored value is one line, always.
    std::erase_if(v, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    value_.setString(v);
}

void MimeField::render(int codePage, std::string& out) const {
    const std::size_t fieldStart = out.size();
    out.append(name_.view());
    out.append(": ");
    std::string_view value = value_.view();
    const std::string_view name = name_.view();

    if (!isBCodePage(codePage)) {
        if (isAll7Bit(value) || codePage == codepage::kUsAscii) {
            if (noFold_) out.append(value);
            else fold7Bit(value, name.size() + 2, out);
        } else {
            WordPlan plan;
            std::string probe;
            auto converts = [&](int cp) { return EncodingConvert::convert(codepage::kUtf8, cp, value, probe); };
            if (codePage != 0 && codePage != codepage::kUtf8 && converts(codePage)) {
                plan.codePage = codePage;
            } else if ((codePage == codepage::kIso88591 || codePage == codepage::kWindows1252) &&
                       converts(codepage::kIso88592)) {
                plan.codePage = codepage::kIso88592;
            }
            if (const CodePageInfo* info = findCodePage(plan.codePage)) plan.charsetName = info->name;
            FieldWriter(name, plan, out).placement(value);
        }
    } else if (isAll7Bit(value) && codePage == codepage::kIso2022Kr) {
        out.append(value);
    } else {
        WordPlan plan;
        plan.bWords = true;
        std::string probe;
        if (EncodingConvert::convert(codepage::kUtf8, codePage, value, probe)) {
            plan.codePage = codePage;
            plan.charsetName = findCodePage(codePage)->name;
        }
        if (isIso2022OrUtf7(codePage)) {
            const bool addressLike = value.find('<') != std::string_view::npos && value.find(' ') != std::string_view::npos;
            plan.forceEncode = equalsNoCase(name, "subject") || equalsNoCase(name, "thread-topic") ||
                               ((equalsNoCase(name, "to") || equalsNoCase(name, "from") || equalsNoCase(name, "cc")) &&
                                addressLike);
        }
        FieldWriter(name, plan, out).placement(value);
    }
    while (out.size() > fieldStart && isBlankOrEol(out.back())) out.pop_back();
}

// ---- MimeHeader ----------------------------------------------------------

bool MimeHeader::replaceField(std::string_view name, std::string_view value) {
    if (!isValidFieldName(name)) return false;
    removeField(name);
    if (trimView(value).empty()) return true;
    fields_.append(std::make_unique<MimeField>(name, value));
    return true;
}

bool MimeHeader::appendField(std::string_view name, std::string_view value) {
    if (!isValidFieldName(name) || trimView(value).empty()) return false;
    fields_.append(std::make_unique<MimeField>(name, value));
    return true;
}

void MimeHeader::removeField(std::string_view name) {
    for (std::size_t i = fields_.size(); i-- > 0;)
        if (fields_.at(i)->getName().equalsIgnoreCase(name)) fields_.removeAt(i);
}

bool MimeHeader::getField(std::string_view name, StringBuffer& out) const {
    for (const auto& f : fields_) {
        if (f->getName().equalsIgnoreCase(name)) {
            out.setString(f->getValue().view());
            return true;
        }
    }
    return false;
}

bool MimeHeader::hasField(std::string_view name) const {
    for (const auto& f : fields_)
        if (f->getName().equalsIgnoreCase(name)) return true;
    return false;
}

void MimeHeader::renderHeader(std::string& out, std::string_view skipPrefix, int codePage) const {
    if (codePage == 0) codePage = defaultCodePage_;
    for (const auto& f : fields_) {
        if (!skipPrefix.empty() && f->getName().beginsWithIgnoreCase(skipPrefix)) continue;
        f->render(codePage, out);
        out.append("\r\n");
    }
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
}

void MimeHeader::renderHeader(StringBuffer& out, std::string_view skipPrefix, const Charset& charset, LogBase& log) const {
    LogContextGuard ctx(log, "renderHeader");
    renderHeader(out.raw(), skipPrefix, charset.getCodePage());
}

// ---- Rfc822Address -------------------------------------------------------

Rfc822Address::Rfc822Address(std::string_view friendlyName, std::string_view address)
    : friendlyName_(trimView(friendlyName)), address_(trimView(address)) {
    valid_ = address_.contains("@");
}

Rfc822Address Rfc822Address::parse(std::string_view text) {
    Rfc822Address a;
    if (containsNoCase(text, "undisclosed recipient") || containsNoCase(text, "undisclosed-recipient")) return a;
    // Text that reads as exactly one mailbox is taken as RFC 5322 says
    // (quoted names with their quotes, several words, comments); the loose
    // reading below is kept only for text that does not, such as a local
    // name without domain.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (AddressListResult r = parseAddressList(text); r.ok && r.mailboxes.size() == 1) {
        const Mailbox& m = r.mailboxes.front();
        std::string_view name = m.name;
        // Single quotes around a name are a habit of some programs, not part of it.
        if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') name = name.substr(1, name.size() - 2);
        a.address_.setString(m.address());
        if (name == m.address()) name = {};
        if (!isAll7Bit(name)) {
            std::string words;
            ContentCoding::encodePhrase(name, "utf-8", ContentCoding::PhraseUse::FromAddress, words);
            a.friendlyName_.setString(words);
        } else {
            a.friendlyName_.setString(name);
        }
        a.valid_ = true;
        return a;
    }
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };

    std::size_t start = 0, end = text.size();
    std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        start = at;
        while (start > 0 && !isBlank(text[start - 1]) && text[start - 1] != '<') --start;
        end = at + 1;
        while (end < text.size() && !isBlank(text[end]) && text[end] != '>') ++end;
    } else if (std::size_t lt = text.rfind('<'); lt != std::string_view::npos) {
        // No "@": a local name in angle brackets, as some servers accept.
        start = lt + 1;
        end = text.find('>', start);
        if (end == std::string_view::npos) end = text.size();
    } else {
        start = 0;
        end = text.size();
    }

    std::string addr(text.substr(start, end - start));
    std::erase_if(addr, [&](char c) { return isBlank(c) || c == '"'; });

    std::string_view name = text.substr(0, at != std::string_view::npos || start > 0 ? start : 0);
    while (!name.empty() && (isBlank(name.back()) || name.back() == '<' || name.back() == '"' || name.back() == '\''))
        name.remove_suffix(1);
    while (!name.empty() && (isBlank(name.front()) || name.front() == '"' || name.front() == '\''))
        name.remove_prefix(1);
    if (name == addr) name = {};

    a.address_.setString(addr);
    if (!isAll7Bit(name)) {
        // Parsed addresses are the From and Reply-To addresses.
        std::string words;
        ContentCoding::encodePhrase(name, "utf-8", ContentCoding::PhraseUse::FromAddress, words);
        a.friendlyName_.setString(words);
    } else {
        a.friendlyName_.setString(name);
    }
    a.valid_ = addr.find('@') != std::string::npos;
    return a;
}

std::string Rfc822Address::fullForm() const {
    std::string out;
    if (!friendlyName_.isEmpty()) {
        out.push_back('"');
        // A quote or backslash inside the name would end the quoted string
        // early and turn the rest of the name into address syntax.
        for (char c : friendlyName_.view()) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        out.append("\" <");
        out.append(address_.view());
        out.push_back('>');
        return out;
    }
    // An address with a UTF-8 local part stays in angle brackets, where the
    // header writer copies it as it is instead of encoding it as a phrase.
    if (address_.view().find_first_of(" \t") != std::string_view::npos || !isAll7Bit(address_.view())) {
        out.push_back('<');
        out.append(address_.view());
        out.push_back('>');
        return out;
    }
    return address_.str();
}

std::string joinFullForms(const ExtPtrArray<Rfc822Address>& list) {
    std::string out;
    for (const auto& a : list) {
        if (!out.empty()) out.append(", ");
        out.append(a->fullForm());
    }
    return out;
}

}  // namespace zelmar::mail
