#include "mail/base/logger.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace zelmar::mail {

// ---- LogEntry2 -----------------------------------------------------------

std::unique_ptr<LogEntry2> LogEntry2::makeContext(std::string_view name) {
    auto e = std::make_unique<LogEntry2>();
    e->setContext(name);
    return e;
}

std::unique_ptr<LogEntry2> LogEntry2::makeData(std::string_view name, std::string_view value) {
    auto e = std::make_unique<LogEntry2>();
    e->setData(name, value);
    return e;
}

std::unique_ptr<LogEntry2> LogEntry2::makeText(char kind, std::string_view text) {
    auto e = std::make_unique<LogEntry2>();
    e->setText(kind, text);
    return e;
}

void LogEntry2::setContext(std::string_view name) {
    kind_ = kContext;
    children_ = std::make_unique<ExtPtrArray<LogEntry2>>();
    // An empty name is no name: "<>" would not be XML. A context without a
    // name writes nothing in any of the forms.
    if (name.empty()) name_.reset();
    else name_ = std::make_unique<StringBuffer>(name);
    value_.reset();
}

void LogEntry2::setData(std::string_view name, std::string_view value) {
    kind_ = kData;
    children_.reset();
    name_ = std::make_unique<StringBuffer>(name);
    value_ = std::make_unique<StringBuffer>(value);
}

void LogEntry2::setText(char kind, std::string_view text) {
    kind_ = kind;
    children_.reset();
    name_.reset();
    value_ = std::make_unique<StringBuffer>(text);
}

// The text as XML 1.0 may hold it: a control character other than tab,
// line feed and carriage return, and every byte that is not part of valid
// UTF-8, becomes U+FFFD. Server replies land in the log as they came, and a
// hostile server must not make the saved file unreadable.
std::string xmlSafeText(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') out.append(kReplacement);
            else out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        std::uint32_t cp = n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        bool ok = n != 0 && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            ok = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3F);
        }
        // No overlong forms, surrogates, non-characters U+FFFE/U+FFFF or
        // values past U+10FFFF.
        ok = ok && !(n == 2 && cp < 0x80) && !(n == 3 && cp < 0x800) && !(n == 4 && cp < 0x10000) &&
             !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
        if (ok) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out.append(kReplacement);
            ++i;
        }
    }
    return out;
}

void appendXmlWrapped(std::string& out, std::string_view raw) {
    const std::string safe = xmlSafeText(raw);
    const std::string_view text = safe;
    // Always escaped: a text that brings its own "<![CDATA[" and "]]>" is
    // still text (a server reply can hold both), never markup.
    if (text.find_first_of("\n\t&<>") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out.append("<![CDATA[");
    // A "]]>" inside the text would end the section early and leave the
    // rest as markup; split it across two sections so the file stays
    // well-formed and the text reads back the same.
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find("]]>", pos);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit + 2 - pos));
        out.append("]]><![CDATA[");
        pos = hit + 2;
    }
    out.append(text.substr(pos));
    out.append("]]>");
}

namespace {
void appendHtmlEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&': out.append("&amp;"); break;
        case '<': out.append("&lt;"); break;
        case '>': out.append("&gt;"); break;
        case '"': out.append("&quot;"); break;
        default: out.push_back(c);
        }
    }
}
}  // namespace

void LogEntry2::renderXml(std::string& out) const {
    switch (kind_) {
    case kContext:
        if (!name_) return;
        out.append("<").append(name_->view()).append(">\r\n");
        if (children_)
            for (const auto& c : *children_) c->renderXml(out);
        out.append("</").append(name_->view()).append(">\r\n");
        return;
    case kData:
        if (!name_ || !value_) return;
        out.append("<").append(name_->view()).append(">");
        appendXmlWrapped(out, value_->view());
        out.append("</").append(name_->view()).append(">\r\n");
        return;
    case kError:
    case kInfo:
        if (!value_) return;
        out.append(kind_ == kError ? "<error>" : "<info>");
        appendXmlWrapped(out, value_->view());
        out.append(kind_ == kError ? "</error>\r\n" : "</info>\r\n");
        return;
    case kText:
        if (!value_) return;
        out.append(value_->view()).append("\r\n");
        return;
    default: return;
    }
}

void LogEntry2::renderHtml(std::string& out) const {
    if (kind_ == kContext) {
        if (!name_) return;
        out.append(name_->view()).append(":<blockquote>\r\n");
        if (children_)
            for (const auto& c : *children_) c->renderHtml(out);
        out.append("</blockquote>\r\n");
        return;
    }
    if (!value_) return;
    if (kind_ == kData) {
        if (!name_) return;
        out.append(name_->view()).append(": ");
    }
    appendHtmlEscaped(out, value_->view());
    out.append("<br>\r\n");
}

void LogEntry2::renderText(std::string& out, int level) const {
    const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
    if (kind_ == kContext) {
        if (!name_) return;
        out.append(indent).append(name_->view()).append(":\r\n");
        if (children_)
            for (const auto& c : *children_) c->renderText(out, level + 1);
        return;
    }
    if (!value_) return;
    out.append(indent);
    if (kind_ == kData) {
        if (!name_) return;
        out.append(name_->view()).append(": ");
    }
    out.append(value_->view()).append("\r\n");
}

// ---- ErrorLog ------------------------------------------------------------

ErrorLog::ErrorLog() { clear(); }

void ErrorLog::clear() {
    stack_.clear();
    root_ = LogEntry2::makeContext(kRootName);
    stack_.push_back(root_.get());
}

void ErrorLog::enterContext(std::string_view name) {
    LogEntry2* ctx = stack_.back()->children()->append(LogEntry2::makeContext(name));
    stack_.push_back(ctx);
}

void ErrorLog::leaveContext() {
    if (stack_.size() > 1) stack_.pop_back();
    // A nested context that recorded nothing only clutters the story. The
    // root's own children are kept, empty or not.
    if (stack_.size() >= 2) {
        ExtPtrArray<LogEntry2>* kids = stack_.back()->children();
        LogEntry2* last = kids->last();
        if (last && last->kind() == LogEntry2::kContext && last->children()->empty()) kids->removeAt(kids->size() - 1);
    }
}

void ErrorLog::append(std::unique_ptr<LogEntry2> entry) { stack_.back()->children()->append(std::move(entry)); }

// ---- Logger --------------------------------------------------------------

std::string normalizeLogName(const char* name) {
    if (!name) return {};
    std::string n(trimView(name));
    for (char& c : n)
        if (c == ' ') c = '_';
    return n;
}

Logger::~Logger() = default;

void Logger::getXml(StringBuffer& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    log_.renderXml(out.raw());
}

void Logger::getHtml(StringBuffer& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    log_.renderHtml(out.raw());
}

void Logger::getText(StringBuffer& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    log_.renderText(out.raw());
}

bool Logger::appendText(char kind, const char* text) {
    if (!text) return true;
    auto entry = LogEntry2::makeText(kind, text);
    std::lock_guard lock(mutex_);
    log_.append(std::move(entry));
    return true;
}

bool Logger::logError(const char* text) { return appendText(LogEntry2::kError, text); }
bool Logger::logInfo(const char* text) { return appendText(LogEntry2::kInfo, text); }
bool Logger::logText(const char* text) { return appendText(LogEntry2::kText, text); }

bool Logger::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
    return true;
}

bool Logger::enterContext(const char* name, int) {
    std::lock_guard lock(mutex_);
    log_.enterContext(name ? name : "");
    return true;
}

bool Logger::leaveContext() {
    std::lock_guard lock(mutex_);
    log_.leaveContext();
    return true;
}

bool Logger::appendData(const char* name, std::string_view value) {
    std::string n = normalizeLogName(name);
    if (n.empty()) return false;
    auto entry = LogEntry2::makeData(n, value);
    std::lock_guard lock(mutex_);
    log_.append(std::move(entry));
    return true;
}

bool Logger::logData(const char* name, const char* value) {
    if (!value) return false;
    return appendData(name, value);
}

bool Logger::logDataLong(const char* name, std::int32_t value) { return appendData(name, std::to_string(value)); }

bool Logger::logDataInt64(const char* name, std::uint32_t low, std::uint32_t high) {
    auto v = static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
    return appendData(name, std::to_string(v));
}

bool Logger::logDataHex(const char* name, std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%" PRIx32, value);
    return appendData(name, buf);
}

void Logger::logTickCount(const char* name) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // A 32-bit millisecond count that wraps, like the tick count it stands for.
    auto ms = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
    logDataHex(name, ms);
}

bool Logger::saveXml(const char* path) {
    if (!path || !*path) return false;
    StringBuffer xml;
    getXml(xml);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(xml.str().data(), static_cast<std::streamsize>(xml.getSize()));
    f.close();
    return static_cast<bool>(f);
}

std::size_t Logger::contextDepth() {
    std::lock_guard lock(mutex_);
    return log_.depth();
}

}  // namespace zelmar::mail
