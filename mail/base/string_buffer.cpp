#include "mail/base/string_buffer.h"

#include <cassert>
#include <functional>

namespace zelmar::mail {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

std::size_t findNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    if (hay.size() < needle.size()) return std::string_view::npos;
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i)
        if (equalsNoCase(hay.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

bool containsNoCase(std::string_view hay, std::string_view needle) {
    return findNoCase(hay, needle) != std::string_view::npos;
}

std::string toLowerCopy(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = asciiLower(c);
    return r;
}

bool isBlankOrEol(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimView(std::string_view s) {
    while (!s.empty() && isBlankOrEol(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlankOrEol(s.back())) s.remove_suffix(1);
    return s;
}

bool isAll7Bit(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) & 0x80) return false;
    return true;
}

void StringBuffer::reserveFirst(std::size_t extra) {
    assert(checkOk());
    // Most component strings are short header values; one early allocation
    // of a fixed size avoids a string of small regrowths.
    if (s_.capacity() < kFirstAllocation && s_.size() + extra < kFirstAllocation) s_.reserve(kFirstAllocation);
}

bool StringBuffer::aliases(std::string_view s) const {
    return !s.empty() && std::less_equal<>()(s_.data(), s.data()) &&
           std::less_equal<>()(s.data(), s_.data() + s_.size());
}

void StringBuffer::setString(std::string_view s) {
    if (aliases(s)) {
        s_ = std::string(s);
        return;
    }
    s_.clear();
    append(s);
}

void StringBuffer::append(std::string_view s) {
    if (aliases(s)) {
        // Our own bytes: the first reservation may move them before they
        // are copied.
        std::string copy(s);
        reserveFirst(copy.size());
        s_.append(copy);
        return;
    }
    reserveFirst(s.size());
    s_.append(s);
}

void StringBuffer::appendChar(char c) {
    reserveFirst(1);
    s_.push_back(c);
}

void StringBuffer::appendInt(long long v) { append(std::to_string(v)); }

void StringBuffer::trim() {
    trimRight();
    trimLeft();
}

void StringBuffer::trimLeft() {
    assert(checkOk());
    std::size_t i = 0;
    while (i < s_.size() && isBlankOrEol(s_[i])) ++i;
    s_.erase(0, i);
}

void StringBuffer::trimRight() {
    assert(checkOk());
    while (!s_.empty() && isBlankOrEol(s_.back())) s_.pop_back();
}

void StringBuffer::toLowerCase() {
    for (char& c : s_) c = asciiLower(c);
}

void StringBuffer::toUpperCase() {
    for (char& c : s_) c = asciiUpper(c);
}

std::size_t StringBuffer::replaceAll(std::string_view from, std::string_view to) {
    assert(checkOk());
    if (from.empty()) return 0;
    std::size_t count = 0;
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = s_.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(s_, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
        ++count;
    }
    if (count == 0) return 0;
    out.append(s_, pos, std::string::npos);
    s_ = std::move(out);
    return count;
}

bool StringBuffer::replaceFirst(std::string_view from, std::string_view to) {
    assert(checkOk());
    if (from.empty()) return false;
    std::size_t hit = s_.find(from);
    if (hit == std::string::npos) return false;
    s_.replace(hit, from.size(), to);
    return true;
}

void StringBuffer::replaceChar(char from, char to) {
    for (char& c : s_)
        if (c == from) c = to;
}

void StringBuffer::removeChars(std::string_view set) {
    // The set may be our own text, which the erasing overwrites as it goes.
    const std::string own = aliases(set) ? std::string(set) : std::string();
    if (!own.empty()) set = own;
    std::erase_if(s_, [&](char c) { return set.find(c) != std::string_view::npos; });
}

void StringBuffer::htmlEscape() {
    replaceAll("&", "&amp;");
    replaceAll("<", "&lt;");
    replaceAll(">", "&gt;");
    replaceAll("\"", "&quot;");
}

}  // namespace zelmar::mail
