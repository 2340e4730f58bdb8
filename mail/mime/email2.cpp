#include "mail/mime/email2.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mail/base/r250.h"
#include "mail/base/unicode.h"
#include "mail/mime/content_coding.h"
#include "mail/mime/mime_parser.h"

namespace zelmar::mail {

namespace {

const Email2Seam* g_seam = nullptr;

// The product text, stored base64-encoded: "Zelmar Mail Component 0.1
// (http://zelmar.example)", 49 characters.
constexpr std::string_view kMailerB64 = "WmVsbWFyIE1haWwgQ29tcG9uZW50IDAuMSAoaHR0cDovL3plbG1hci5leGFtcGxlKQ==";

const std::string& mailerText() {
    static const std::string text = [] {
        std::string t;
        ContentCoding::decodeBase64(kMailerB64, t);
        return t;
    }();
    return text;
}

std::string localHostName() {
    if (g_seam && !g_seam->hostName.empty()) return g_seam->hostName;
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "unknown";
    return buf;
}

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Completes an HTML document with html, head and body tags.
void completeHtml(StringBuffer& s) {
    if (!s.containsIgnoreCase("<html")) s.setString("<html>" + s.str());
    if (!s.containsIgnoreCase("</html>")) s.append("</html>");
    if (!s.containsIgnoreCase("<head")) {
        s.replaceFirst("<HTML>", "<html>");
        s.replaceFirst("<html>", "<html><head>");
        if (s.containsIgnoreCase("<body")) {
            s.replaceFirst("<BODY", "<body");
            s.replaceFirst("<body", "</head><body");
        } else {
            s.replaceFirst("</HTML>", "</html>");
            s.replaceFirst("<head>", "<head></head>");
        }
    }
    if (!s.containsIgnoreCase("<body")) {
        s.replaceFirst("</HEAD>", "</head>");
        s.replaceFirst("</head>", "</head><body>");
    }
    if (!s.containsIgnoreCase("</body>")) {
        s.replaceFirst("</HTML>", "</html>");
        s.replaceFirst("</html>", "</body></html>");
    }
}

void insertMetaCharset(StringBuffer& s, std::string_view charsetName) {
    completeHtml(s);
    s.replaceFirst("<HEAD>", "<head>");
    s.replaceFirst("<head>", "<head><META http-equiv=\"Content-Type\" content=\"text/html;charset=" +
                                 std::string(charsetName) + "\">");
}

// Removes the first META tag that declares this charset.
void removeMetaCharset(std::string& html, std::string_view charsetName) {
    const std::string needle = "charset=" + std::string(charsetName);
    std::size_t pos = 0;
    while ((pos = findNoCase(html, "<meta", pos)) != std::string::npos) {
        std::size_t end = html.find('>', pos);
        if (end == std::string::npos) return;
        if (findNoCase(std::string_view(html).substr(pos, end - pos), needle) != std::string::npos) {
            html.erase(pos, end + 1 - pos);
            return;
        }
        pos = end;
    }
}

bool hasC2C3Sequence(std::string_view b) {
    for (std::size_t i = 0; i + 1 < b.size(); ++i) {
        const auto c = static_cast<unsigned char>(b[i]);
        if ((c == 0xC2 || c == 0xC3) && (static_cast<unsigned char>(b[i + 1]) & 0x80)) return true;
    }
    return false;
}

void copyList(const ExtPtrArray<Rfc822Address>& from, ExtPtrArray<Rfc822Address>& to) {
    to.clear();
    for (const auto& a : from) to.append(std::make_unique<Rfc822Address>(*a));
}

bool addressAt(const ExtPtrArray<Rfc822Address>& list, int index, StringBuffer& out) {
    out.clear();
    if (index < 0) return false;
    const Rfc822Address* a = list.at(static_cast<std::size_t>(index));
    if (!a) return false;
    out.setString(a->getAddress().view());
    return true;
}

std::string withoutAngles(std::string_view v) {
    std::string s(v);
    std::erase_if(s, [](char c) { return c == '<' || c == '>'; });
    return std::string(trimView(s));
}

}  // namespace

// ---- free functions ------------------------------------------------------

void setEmail2Seam(const Email2Seam* seam) { g_seam = seam; }

std::string formatMailDate(const std::tm& t, long gmtOffsetSeconds) {
    const long bias = -gmtOffsetSeconds / 60;  // minutes west of UTC
    const long hours = -bias / 60;
    const long minutes = std::labs(bias) % 60;
    // The sign comes from the offset itself, so that a zone less than an
    // hour west of UTC is not written as east of it.
    const char sign = bias > 0 ? '-' : '+';
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %d %02d:%02d:%02d %c%02ld%02ld", kDays[(t.tm_wday % 7 + 7) % 7],
                  t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                  sign, std::labs(hours), minutes);
    return buf;
}

std::string currentMailDate() {
    if (g_seam && g_seam->date) return g_seam->date();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return formatMailDate(local, local.tm_gmtoff);
}

MailDate parseMailDate(std::string_view text) {
    MailDate d;
    std::string s(trimView(text));
    if (std::size_t comma = s.find(','); comma != std::string::npos) s.erase(0, comma + 1);
    if (s.size() > 200) return d;
    int day = 0, year = 0, hh = 0, mm = 0, ss = 0;
    char mon[4] = {};
    char zone[8] = {};
    int n = std::sscanf(s.c_str(), " %d %3s %d %d:%d:%d %7s", &day, mon, &year, &hh, &mm, &ss, zone);
    if (n < 5) return d;
    if (n == 5) {
        // No seconds: the zone follows the minutes.
        std::sscanf(s.c_str(), " %*d %*3s %*d %*d:%*d %7s", zone);
        ss = 0;
    }
    int month = 0;
    for (int i = 0; i < 12; ++i)
        if (equalsNoCase(mon, kMonths[i])) month = i + 1;
    if (month == 0 || day < 1 || day > 31 || hh < 0 || hh > 23 || mm < 0 || mm > 59 || ss < 0 || ss > 60) return d;
    d.valid = true;
    d.year = year < 100 ? year + (year < 50 ? 2000 : 1900) : year;
    d.month = month;
    d.day = day;
    d.hour = hh;
    d.minute = mm;
    d.second = ss;
    if ((zone[0] == '+' || zone[0] == '-') && std::strlen(zone) == 5) {
        int z = std::atoi(zone + 1);
        d.zoneMinutes = (z / 100) * 60 + z % 100;
        if (zone[0] == '-') d.zoneMinutes = -d.zoneMinutes;
    }
    return d;
}

std::string newRandomIdentifier() {
    if (g_seam && g_seam->identifier) return g_seam->identifier();
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t v = sharedRandom32();
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    }
    std::string hex;
    ContentCoding::appendHexLower(bytes, hex);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

std::string newBoundary() {
    std::string id = newRandomIdentifier();
    if (id.size() < 36) id.resize(36, '0');
    // Characters 1-3, 4-7, 10-13, 15-18 and 25-32 of the identifier.
    return "-----_zelmail_" + id.substr(0, 3) + "_" + id.substr(3, 4) + "_" + id.substr(9, 4) + id.substr(14, 4) +
           "." + id.substr(24, 8);
}

// ---- construction ----------------------------------------------------------

Email2::Email2() {
    header_.replaceField("MIME-Version", "1.0");
    setDate(currentMailDate());
    header_.replaceField("X-Mailer", mailerText());
    newMessageId();
    setContentType("text/plain", {}, {}, {}, nullptr, {}, {}, {});
    setTransferEncoding("7bit");
    header_.replaceField("X-Mailer", mailerText());
    header_.replaceField("X-Priority", "3 (Normal)");
}

Email2::Email2(Bare) {}

Email2::~Email2() = default;

Email2* Email2::partAt(std::size_t i) const { return static_cast<Email2*>(parts_.at(i)); }

std::unique_ptr<Email2> Email2::makeBarePart() const {
    auto p = std::make_unique<Email2>(Bare{});
    p->setContentType("text/plain", {}, {}, {}, nullptr, {}, {}, {});
    p->setTransferEncoding("7bit");
    return p;
}

// ---- header fields ---------------------------------------------------------

void Email2::setHeaderField(std::string_view name, std::string_view value) {
    if (name.empty()) return;
    std::string v(value);
    std::erase_if(v, [](char c) { return c == '\r' || c == '\n'; });
    if (equalsNoCase(name, "Content-Transfer-Encoding")) setTransferEncoding(v);
    else if (equalsNoCase(name, "Content-ID")) setContentId(v);
    else if (equalsNoCase(name, "Date")) setDate(v);
    else if (equalsNoCase(name, "From")) setFrom(v);
    else if (equalsNoCase(name, "Reply-To")) setReplyTo(v);
    else if (equalsNoCase(name, "Content-Type") || equalsNoCase(name, "Content-Disposition")) {
        // Keep the typed fields in step with what the header says.
        if (!header_.replaceField(name, v)) return;
        StringBuffer stored;
        header_.getField(name, stored);
        MimeParams p = parseHeaderParams(stored.view());
        if (equalsNoCase(name, "Content-Type")) {
            takeContentType(p);
            charset_.clear();
            if (const std::string* cs = p.get("charset")) charset_.setByName(*cs);
        } else {
            disposition_.setString(p.value);
            const std::string* f = p.get("filename");
            filename_.setString(f ? *f : std::string());
        }
    } else header_.replaceField(name, v);
}

void Email2::removeHeaderField(std::string_view name) {
    header_.removeField(name);
    if (equalsNoCase(name, "to")) to_.clear();
    else if (equalsNoCase(name, "cc")) cc_.clear();
    else if (equalsNoCase(name, "content-type")) {
        contentType_.clear();
        name_.clear();
        protocol_.clear();
        micalg_.clear();
        boundary_.clear();
        smimeType_.clear();
        typeParam_.clear();
        charset_.clear();
    } else if (equalsNoCase(name, "content-disposition")) {
        disposition_.clear();
        filename_.clear();
    } else if (equalsNoCase(name, "content-transfer-encoding")) transferEncoding_.clear();
    else if (equalsNoCase(name, "content-id")) contentId_.clear();
    else if (equalsNoCase(name, "from")) from_.reset();
}

bool Email2::getHeaderField(std::string_view name, StringBuffer& out) const { return header_.getField(name, out); }

bool Email2::setFrom(std::string_view text) {
    Rfc822Address a = Rfc822Address::parse(text);
    if (!a.isValid()) return false;
    from_ = std::make_unique<Rfc822Address>(a);
    header_.replaceField("From", from_->fullForm());
    if (!header_.hasField("return-path")) header_.replaceField("Return-Path", from_->bareForm());
    return true;
}

bool Email2::setReplyTo(std::string_view text) {
    Rfc822Address a = Rfc822Address::parse(text);
    if (!a.isValid()) return false;
    header_.replaceField("Reply-To", a.fullForm());
    return true;
}

void Email2::setDate(std::string_view text) {
    date_ = parseMailDate(text);
    header_.replaceField("Date", text);
}

void Email2::setContentType(std::string_view type, std::string_view name, std::string_view protocol,
                            std::string_view micalg, const Charset* charset, std::string_view boundary,
                            std::string_view smimeType, std::string_view typeParam) {
    std::string_view t = trimView(type);
    if (!t.empty()) contentType_.setString(t);
    else if (contentType_.isEmpty()) contentType_.setString("text/plain");
    name_.setString(name);
    protocol_.setString(protocol);
    micalg_.setString(micalg);
    boundary_.setString(boundary);
    smimeType_.setString(smimeType);
    typeParam_.setString(typeParam);
    const bool textLike = contentType_.beginsWithIgnoreCase("text") || contentType_.beginsWithIgnoreCase("message") ||
                          typeParam_.beginsWithIgnoreCase("text") || contentType_.containsIgnoreCase("multipart/signed");
    if (charset && charset->isSet() && textLike) charset_ = *charset;
    else charset_.clear();
    rebuildContentType();
}

void Email2::rebuildContentType() {
    StringBuffer v(contentType_.view());
    const bool textLike = contentType_.beginsWithIgnoreCase("text") || contentType_.beginsWithIgnoreCase("message") ||
                          typeParam_.beginsWithIgnoreCase("text") || contentType_.containsIgnoreCase("multipart/signed");
    if (!textLike) {
        v.append(";");
    } else if (charset_.isSet()) {
        v.append("; charset=\"");
        v.append(charset_.getName().view());
        v.append("\";");
    }
    auto endSemi = [&] {
        if (v.isEmpty() || v.str().back() != ';') v.append(";");
    };
    if (!typeParam_.isEmpty() && !v.containsIgnoreCase("multipart")) {
        endSemi();
        v.append(" type=\"" + typeParam_.str() + "\";");
    }
    auto param = [&](const StringBuffer& value, const char* label, bool quoted) {
        if (value.isEmpty()) return;
        endSemi();
        v.append(std::string("\r\n\t") + label + "=" + (quoted ? "\"" : "") + value.str() + (quoted ? "\";" : ";"));
    };
    param(boundary_, "boundary", true);
    param(name_, "name", true);
    param(protocol_, "protocol", true);
    param(micalg_, "micalg", false);
    param(smimeType_, "smime-type", false);
    if (formatFlowed_ && contentType_.equalsIgnoreCase("text/plain")) {
        endSemi();
        v.append("\r\n\tformat=flowed;");
    }
    v.trim();
    if (!v.isEmpty() && v.str().back() == ';') v.raw().pop_back();
    v.trim();
    header_.replaceField("Content-Type", v.view());
}

void Email2::setCharset(const Charset& charset) {
    charset_ = charset;
    rebuildContentType();
}

void Email2::setFormatFlowed(bool on) {
    formatFlowed_ = on;
    rebuildContentType();
}

void Email2::setTransferEncoding(std::string_view value) {
    transferEncoding_.setString(trimView(value));
    header_.replaceField("Content-Transfer-Encoding", transferEncoding_.view());
}

void Email2::setContentDisposition(std::string_view disposition, std::string_view filename) {
    disposition_.setString(trimView(disposition));
    filename_.setString(filename);
    std::string v(disposition_.view());
    if (!filename.empty()) v += "; filename=\"" + std::string(filename) + "\"";
    header_.replaceField("Content-Disposition", v);
}

void Email2::setContentId(std::string_view value) {
    contentId_.setString(value);
    header_.replaceField("Content-ID", value);
}

// ---- recipients -----------------------------------------------------------

void Email2::setRecipientField(const char* fieldName, const ExtPtrArray<Rfc822Address>& list) {
    header_.replaceField(fieldName, joinFullForms(list));
}

bool Email2::addTo(std::string_view name, std::string_view address) {
    if (trimView(address).empty()) return false;
    to_.append(std::make_unique<Rfc822Address>(name, address));
    setRecipientField("To", to_);
    return true;
}

bool Email2::addCc(std::string_view name, std::string_view address) {
    if (trimView(address).empty()) return false;
    cc_.append(std::make_unique<Rfc822Address>(name, address));
    setRecipientField("Cc", cc_);
    return true;
}

bool Email2::addBcc(std::string_view name, std::string_view address) {
    if (trimView(address).empty()) return false;
    bcc_.append(std::make_unique<Rfc822Address>(name, address));
    return true;
}

bool Email2::getToAddr(int index, StringBuffer& out) const { return addressAt(to_, index, out); }
bool Email2::getCcAddr(int index, StringBuffer& out) const { return addressAt(cc_, index, out); }
bool Email2::getBccAddr(int index, StringBuffer& out) const { return addressAt(bcc_, index, out); }

void Email2::getEnvelopeSender(StringBuffer& out) const {
    out.clear();
    StringBuffer v;
    if (header_.getField("return-path", v)) {
        std::string s = withoutAngles(v.view());
        if (!s.empty()) return out.setString(s);
    }
    if (from_ && !from_->getAddress().isEmpty()) return out.setString(from_->getAddress().view());
    if (header_.getField("from", v)) {
        Rfc822Address a = Rfc822Address::parse(v.view());
        if (!a.getAddress().isEmpty()) return out.setString(a.getAddress().view());
    }
    if (header_.getField("reply-to", v)) {
        // The address itself: with a display name in front, removing the
        // angle brackets alone would give the name and address run together.
        Rfc822Address a = Rfc822Address::parse(v.view());
        out.setString(a.isValid() ? a.getAddress().str() : withoutAngles(v.view()));
    }
}

// ---- bodies and parts -----------------------------------------------------

Email2* Email2::firstLeaf() {
    Email2* e = this;
    while (e->parts_.size() > 0) e = e->partAt(0);
    return e;
}

void Email2::moveContentIntoNewPart(Email2& part) {
    part.formatFlowed_ = formatFlowed_;
    part.setContentType(contentType_.view(), name_.view(), protocol_.view(), micalg_.view(), &charset_,
                        boundary_.view(), smimeType_.view(), typeParam_.view());
    if (!charset_.isSet()) part.charset_.clear();
    else if (!part.charset_.isSet()) part.setCharset(charset_);  // kept even where the type shows none
    part.setTransferEncoding(transferEncoding_.view());
    part.body_ = std::move(body_);
    body_.clear();
    while (!parts_.empty()) part.parts_.append(parts_.release(0));
}

void Email2::convertToMultipart(const char* type, const char* marker) {
    auto part = makeBarePart();
    moveContentIntoNewPart(*part);
    parts_.append(std::move(part));
    formatFlowed_ = false;
    setContentType(type, {}, {}, {}, nullptr, newBoundary() + marker, {}, {});
    header_.removeField("Content-Transfer-Encoding");
    transferEncoding_.clear();
}

void Email2::setTextBody(std::string_view utf8, bool html) { applyTextStep(utf8, html); }

void Email2::applyTextStep(std::string_view utf8, bool html) {
    Email2* e = this;
    for (int depth = 0; depth <= kMaxMimeDepth; ++depth) {
        if (!e->charset_.isSet() && !isAll7Bit(utf8)) {
            Charset cs;
            std::string probe;
            auto converts = [&](int cp) { return EncodingConvert::convert(codepage::kUtf8, cp, utf8, probe); };
            const int def = e->header_.getDefaultCodePage();
            if (def != 0 && converts(def)) cs.setByCodePage(def);
            else if (converts(codepage::kIso88591)) cs.setByCodePage(codepage::kIso88591);
            else if (converts(codepage::kIso88592)) cs.setByCodePage(codepage::kIso88592);
            else cs.setByCodePage(codepage::kUtf8);
            e->setCharset(cs);
        }
        const bool descend = (e->contentType_.equalsIgnoreCase("multipart/related") ||
                              e->contentType_.equalsIgnoreCase("multipart/mixed")) &&
                             !e->parts_.empty();
        if (!descend) break;
        e = e->partAt(0);
    }
    if (e->contentType_.equalsIgnoreCase("multipart/alternative")) {
        auto part = makeBarePart();
        part->setContentType(html ? "text/html" : "text/plain", {}, {}, {}, &e->charset_, {}, {}, {});
        part->setTransferEncoding("quoted-printable");
        part->body_.assign(utf8);
        e->alternativePartRule(std::move(part));
        return;
    }
    if (!e->parts_.empty()) {
        for (std::size_t k = 0; k < e->parts_.size(); ++k) {
            Email2* p = e->partAt(k);
            if (p->parts_.empty()) {
                p->body_.assign(utf8);
                return;
            }
        }
        auto part = makeBarePart();
        part->setTransferEncoding("quoted-printable");
        part->body_.assign(utf8);
        e->parts_.insertAt(0, std::move(part));
        return;
    }
    e->setTransferEncoding("quoted-printable");
    e->body_.assign(utf8);
}

void Email2::alternativePartRule(std::unique_ptr<Email2> part) {
    if (!contentType_.equalsIgnoreCase("multipart/alternative")) convertToMultipart("multipart/alternative", "_.ALT");
    for (std::size_t k = 0; k < parts_.size(); ++k) {
        Email2* p = partAt(k);
        if (p->contentType_.equalsIgnoreCase(part->contentType_.view())) {
            p->setTextBody(part->body_.view(), part->contentType_.equalsIgnoreCase("text/html"));
            return;
        }
    }
    if (part->contentType_.equalsIgnoreCase("text/plain")) parts_.insertAt(0, std::move(part));
    else parts_.append(std::move(part));
}

void Email2::setHtmlBody(std::string_view html) {
    StringBuffer s(html);
    completeHtml(s);
    if (getHtmlMetaCharset(s.view()).empty())
        insertMetaCharset(s, charset_.isSet() ? charset_.getName().view() : std::string_view("utf-8"));
    setTextBody(s.view(), true);
    Email2* leaf = firstLeaf();
    if (leaf->body_.getSize() == s.getSize()) {
        Charset keep = leaf->charset_;
        leaf->setContentType("text/html", leaf->name_.str(), leaf->protocol_.str(), leaf->micalg_.str(), &keep,
                             leaf->boundary_.str(), leaf->smimeType_.str(), leaf->typeParam_.str());
        leaf->setTransferEncoding(charset_.getCodePage() == codepage::kUsAscii ? "7bit" : "quoted-printable");
    }
}

bool Email2::addDataAttachment(std::string_view fileName, std::string_view contentType, std::string_view bytes) {
    auto part = makeBarePart();
    std::string fn(trimView(fileName));
    if (std::size_t slash = fn.rfind('/'); slash != std::string::npos) fn.erase(0, slash + 1);
    else if (std::size_t bs = fn.rfind('\\'); bs != std::string::npos) fn.erase(0, bs + 1);
    if (fn.empty()) fn = "attach.dat";  // also a name that was only a folder
    std::string type(trimView(contentType));
    // A charset may come with the type ("text/plain; charset=utf-8").
    Charset charset;
    if (const std::size_t semi = type.find(';'); semi != std::string::npos) {
        const std::string params = type.substr(semi + 1);
        type = std::string(trimView(std::string_view(type).substr(0, semi)));
        if (const std::size_t at = findNoCase(params, "charset="); at != std::string::npos) {
            std::string name(trimView(std::string_view(params).substr(at + 8)));
            std::erase(name, '"');
            charset.setByName(name.substr(0, name.find(';')));
        }
    }
    if (type.empty()) {
        if (std::size_t dot = fn.rfind('.'); dot != std::string::npos)
            type = std::string(mediaTypeForExtension(toLowerCopy(std::string_view(fn).substr(dot + 1))));
        else
            type = "application/octet-stream";
    }
    type = std::string(trimView(type));
    if (type.empty()) type = "application/octet-stream";
    part->setContentType(type, fn, {}, {}, charset.isSet() ? &charset : nullptr, {}, {}, {});
    part->setTransferEncoding(startsWithNoCase(type, "text") ? "quoted-printable" : "base64");
    part->setContentDisposition("attachment", fn);
    part->body_.assign(bytes);
    if (!contentType_.equalsIgnoreCase("multipart/mixed")) convertToMultipart("multipart/mixed", "_.MIX");
    parts_.append(std::move(part));
    return true;
}

void Email2::newMessageId(std::string_view host) {
    reseedSharedRandomOnce();
    const std::string right = host.empty() || (g_seam && !g_seam->hostName.empty()) ? localHostName() : std::string(host);
    header_.replaceField("Message-ID", "<ZELMAIL-MID-" + newRandomIdentifier() + "@" + right + ">");
}

// ---- rendering ------------------------------------------------------------

bool Email2::findTextCharset(std::string_view type, Charset& out) const {
    if (contentType_.equalsIgnoreCase(type) && charset_.isSet()) {
        out = charset_;
        return true;
    }
    for (std::size_t k = 0; k < parts_.size(); ++k)
        if (partAt(k)->findTextCharset(type, out)) return true;
    return false;
}

bool Email2::renderMime(StringBuffer& out, std::string_view skipPrefix, LogBase& log) {
    return renderMime(out.raw(), skipPrefix, log);
}

bool Email2::renderMime(std::string& out, std::string_view skipPrefix, LogBase& log) {
    LogContextGuard ctx(log, "renderMime");
    out.reserve(out.size() + estimateSize());
    renderEntity(*this, out, skipPrefix, 0, log);
    return true;
}

void Email2::renderEntity(const Email2& top, std::string& out, std::string_view skipPrefix, int depth, LogBase& log) {
    // 1. The rendering charset.
    Charset cs;
    if (top.charset_.isSet()) cs = top.charset_;
    else if (this != &top) {
        if (charset_.isSet()) cs = charset_;
    } else if (!findTextCharset("text/html", cs)) {
        findTextCharset("text/plain", cs);
    }
    if (!cs.isSet()) {
        if (!defaultCharsetName_.isEmpty()) cs.setByName(defaultCharsetName_.view());
        else if (!top.defaultCharsetName_.isEmpty()) cs.setByName(top.defaultCharsetName_.view());
    }
    const bool attachmentLike =
        disposition_.equalsIgnoreCase("attachment") || contentType_.beginsWithIgnoreCase("application/");
    if (attachmentLike && charset_.isSet()) cs = charset_;

    // 2. An 8-bit text body that no charset covers is labelled iso-8859-1.
    const std::string_view body = body_.view();
    if (!disposition_.equalsIgnoreCase("attachment") && parts_.empty() &&
        (contentType_.isEmpty() || contentType_.beginsWithIgnoreCase("text/")) && !cs.isSet() && !isAll7Bit(body) &&
        body.find('\0') == std::string_view::npos) {
        Charset label;
        label.setByCodePage(codepage::kIso88591);
        if (!hasC2C3Sequence(body)) {
            std::string utf8;
            if (EncodingConvert::convert(codepage::kIso88591, codepage::kUtf8, body, utf8)) body_.assign(utf8);
        } else {
            // Kept as UTF-8: when it has no iso-8859-1 form, writing it back
            // would fail and send UTF-8 bytes under a Latin-1 label.
            std::string probe;
            if (!EncodingConvert::convert(codepage::kUtf8, codepage::kIso88591, body, probe))
                label.setByCodePage(codepage::kUtf8);
        }
        const std::string type = contentType_.isEmpty() ? std::string("text/plain") : contentType_.str();
        formatFlowed_ = false;
        setContentType(type, {}, {}, {}, &label, {}, {}, {});
        if (transferEncoding_.isEmpty()) setTransferEncoding("quoted-printable");
    }

    // 2b. A text body that its charset cannot hold (a subject chose the
    // charset before the body came, say) goes as UTF-8: sent under the old
    // label its bytes would read as something else.
    if (parts_.empty() && contentType_.beginsWithIgnoreCase("text/") && charset_.isSet() &&
        charset_.getCodePage() != codepage::kUtf8 && !isAll7Bit(body_.view())) {
        std::string probe;
        if (!EncodingConvert::convert(codepage::kUtf8, charset_.getCodePage(), body_.view(), probe)) {
            Charset utf8;
            utf8.setByCodePage(codepage::kUtf8);
            setCharset(utf8);
            if (this == &top) cs = utf8;
        }
    }

    // 3. Multipart/alternative carries no transfer encoding.
    if (contentType_.equalsIgnoreCase("multipart/alternative")) {
        header_.removeField("Content-Transfer-Encoding");
        transferEncoding_.clear();
    }
    if (!parts_.empty() && boundary_.isEmpty()) {
        // A multipart entity needs a boundary to be read back at all.
        setContentType(isMultipart() ? contentType_.str() : std::string("multipart/mixed"), name_.str(),
                       protocol_.str(), micalg_.str(), &charset_, newBoundary() + "_.MIX", smimeType_.str(),
                       typeParam_.str());
    }

    // 4. Header block.
    header_.renderHeader(out, skipPrefix, cs.getCodePage());
    out.append("\r\n\r\n");

    // 5. Parts, or 6. the body.
    if (!parts_.empty()) {
        out.append("This is a multi-part message in MIME format.\r\n\r\n");
        for (std::size_t k = 0; k < parts_.size(); ++k) {
            Email2* p = partAt(k);
            out.append("--");
            out.append(boundary_.view());
            out.append("\r\n");
            p->renderEntity(top, out, skipPrefix, depth + 1, log);
            out.append("\r\n");
        }
        out.append("--");
        out.append(boundary_.view());
        out.append("--\r\n");
        return;
    }
    writeBody(charset_.isSet() ? charset_ : cs, out);
}

void Email2::writeBody(const Charset& cs, std::string& out) const {
    std::string converted;
    std::string_view bytes = body_.view();
    const int cp = cs.getCodePage();
    if (contentType_.beginsWithIgnoreCase("text/") && cs.isSet() && cp != codepage::kUsAscii && cp != codepage::kUtf8) {
        if (EncodingConvert::convert(codepage::kUtf8, cp, bytes, converted)) {
            if (contentType_.equalsIgnoreCase("text/html") && cp != codepage::kUtf16Le && cp != codepage::kUtf16Be) {
                const std::string meta = getHtmlMetaCharset(converted);
                if (!meta.empty() && !equalsNoCase(meta, cs.getName().view())) {
                    removeMetaCharset(converted, meta);
                    StringBuffer s(converted);
                    insertMetaCharset(s, cs.getName().view());
                    converted = s.str();
                }
            }
            bytes = converted;
        }
    }
    ContentCoding coder;
    if (transferEncoding_.equalsIgnoreCase("base64")) coder.encodeBase64Body(bytes, out);
    else if (transferEncoding_.equalsIgnoreCase("quoted-printable")) coder.encodeQuotedPrintable(bytes, out);
    else out.append(bytes);
}

std::size_t Email2::estimateSize() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < header_.fieldCount(); ++i) {
        const MimeField* f = header_.fieldAt(i);
        n += f->getName().getSize() + f->getValue().getSize() + 8;
    }
    n += body_.getSize() + body_.getSize() / 2 + 4;  // room for base64 and quoted-printable growth
    for (std::size_t k = 0; k < parts_.size(); ++k) n += partAt(k)->estimateSize() + 2 * boundary_.getSize() + 16;
    return n + 64;
}

// ---- the send copy --------------------------------------------------------

std::unique_ptr<Email2> Email2::createFromMimeText(std::string_view text, LogBase& log) {
    LogContextGuard ctx(log, "loadMime");
    MimeEntity e;
    parseMime(text, e);
    if (e.fields.empty() && e.parts.empty() && e.body.empty()) {
        log.logError("No MIME text to read.");
        return nullptr;
    }
    auto m = std::make_unique<Email2>(Bare{});
    m->loadFromEntity(e);
    return m;
}

// The typed fields that mirror the Content-Type field: its value and the
// parameters kept apart (a missing one reads as empty).
void Email2::takeContentType(const MimeParams& p) {
    auto get = [&](const char* k) { const std::string* s = p.get(k); return s ? *s : std::string(); };
    contentType_.setString(p.value);
    name_.setString(get("name"));
    protocol_.setString(get("protocol"));
    micalg_.setString(get("micalg"));
    boundary_.setString(get("boundary"));
    smimeType_.setString(get("smime-type"));
    typeParam_.setString(get("type"));
}

void Email2::loadFromEntity(const MimeEntity& e) {
    for (const auto& [name, value] : e.fields) header_.appendField(name, value);
    StringBuffer v;
    if (header_.getField("content-type", v)) {
        MimeParams p = parseHeaderParams(v.view());
        takeContentType(p);
        const std::string* format = p.get("format");
        formatFlowed_ = format && equalsNoCase(*format, "flowed");
        if (const std::string* cs = p.get("charset")) charset_.setByName(*cs);
    }
    if (header_.getField("content-transfer-encoding", v)) transferEncoding_.setString(trimView(v.view()));
    if (header_.getField("content-disposition", v)) {
        MimeParams p = parseHeaderParams(v.view());
        disposition_.setString(p.value);
        if (const std::string* f = p.get("filename")) filename_.setString(*f);
    }
    if (header_.getField("content-id", v)) contentId_.setString(v.view());
    if (header_.getField("from", v)) {
        Rfc822Address a = Rfc822Address::parse(v.view());
        if (a.isValid()) from_ = std::make_unique<Rfc822Address>(a);
    }
    if (header_.getField("date", v)) date_ = parseMailDate(v.view());

    // Bodies are held as UTF-8; a text body in another charset comes back.
    const int cp = charset_.getCodePage();
    std::string utf8;
    if (contentType_.beginsWithIgnoreCase("text/") && charset_.isSet() && cp != codepage::kUsAscii &&
        cp != codepage::kUtf8 && EncodingConvert::convert(cp, codepage::kUtf8, e.body, utf8))
        body_.assign(utf8);
    else
        body_.assign(e.body);
    for (const auto& p : e.parts) {
        auto child = std::make_unique<Email2>(Bare{});
        child->loadFromEntity(*p);
        parts_.append(std::move(child));
    }
}

std::unique_ptr<Email2> Email2::makeSendCopy(const Replacements* replacements, LogBase& log) {
    LogContextGuard ctx(log, "makeSendCopy");
    std::string text;
    renderMime(text, "", log);
    if (replacements) {
        for (const auto& [find, put] : *replacements) {
            if (find.empty()) continue;
            StringBuffer sb(text);
            sb.replaceAll(find, put);
            text = sb.str();
        }
    }
    auto copy = createFromMimeText(text, log);
    if (!copy) return nullptr;
    copyList(to_, copy->to_);
    copyList(cc_, copy->cc_);
    copyList(bcc_, copy->bcc_);
    copy->defaultCharsetName_ = defaultCharsetName_;
    copy->header_.setDefaultCodePage(header_.getDefaultCodePage());

    StringBuffer v;
    if (copy->getHeaderField("ZMX-ReturnReceipt", v) && v.equals("YES") &&
        !copy->hasHeaderField("Disposition-Notification-To")) {
        std::string from = copy->from_ ? copy->from_->getAddress().str() : std::string();
        copy->setHeaderField("Disposition-Notification-To", "<" + from + ">");
    }
    copy->removeHeaderField("ZMX-ReturnReceipt");
    copy->removeHeaderField("Return-Path");
    if (copy->getHeaderField("ZMX-Bcc", v) && !trimView(v.view()).empty()) copy->setHeaderField("Bcc", v.view());
    copy->removeHeaderField("ZMX-Bcc");
    return copy;
}

}  // namespace zelmar::mail
