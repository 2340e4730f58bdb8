// Text and byte buffers of the mail component.
//
// StringBuffer holds 8-bit text (UTF-8 or ASCII inside the component) and
// DataBuffer holds binary data and encoded text. Both sit on std::string, so
// the bytes are always NUL-terminated for C interfaces and may contain NULs.
//
// Each buffer keeps a check byte (0xAA for text, 0xDB for data). It cannot
// go wrong through this interface; it is a debug aid that makes a buffer
// clobbered through a stray pointer elsewhere fail loudly under assertions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelmar::mail {

// ASCII-only case helpers: header names, charset names and media types
// compare without regard to case, independent of the process locale.
char asciiLower(char c);
char asciiUpper(char c);
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view s, std::string_view prefix);
std::size_t findNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0);
bool containsNoCase(std::string_view hay, std::string_view needle);
std::string toLowerCopy(std::string_view s);
bool isBlankOrEol(char c);  // space, tab, CR, LF
std::string_view trimView(std::string_view s);
bool isAll7Bit(std::string_view s);

class StringBuffer {
public:
    static constexpr std::uint8_t kCheckByte = 0xAA;
    static constexpr std::size_t kFirstAllocation = 202;

    StringBuffer() = default;
    StringBuffer(std::string_view s) { append(s); }  // NOLINT: implicit by design
    StringBuffer(const char* s) { append(s); }        // NOLINT

    const char* getString() const { return s_.c_str(); }
    const std::string& str() const { return s_; }
    std::string& raw() { return s_; }  // for encoders that write in place
    std::string_view view() const { return s_; }
    operator std::string_view() const { return s_; }
    std::size_t getSize() const { return s_.size(); }
    bool isEmpty() const { return s_.empty(); }

    void clear() { s_.clear(); }
    void setString(std::string_view s);
    void append(std::string_view s);
    void append(const char* s) { append(s ? std::string_view(s) : std::string_view()); }
    void appendChar(char c);
    void appendInt(long long v);

    // White space here is space, tab, CR and LF.
    void trim();
    void trimLeft();
    void trimRight();
    void toLowerCase();
    void toUpperCase();
    // Replaces every occurrence; returns how many were replaced.
    std::size_t replaceAll(std::string_view from, std::string_view to);
    bool replaceFirst(std::string_view from, std::string_view to);
    void replaceChar(char from, char to);
    void removeChars(std::string_view set);
    // "&", "<", ">" and the double quote as entities, in that order.
    void htmlEscape();

    bool equals(std::string_view s) const { return s_ == s; }
    bool equalsIgnoreCase(std::string_view s) const { return equalsNoCase(s_, s); }
    bool beginsWithIgnoreCase(std::string_view s) const { return startsWithNoCase(s_, s); }
    bool containsIgnoreCase(std::string_view s) const { return containsNoCase(s_, s); }
    bool contains(std::string_view s) const { return s_.find(s) != std::string::npos; }
    std::size_t findIgnoreCase(std::string_view s, std::size_t from = 0) const { return findNoCase(s_, s, from); }

    bool checkOk() const { return check_ == kCheckByte; }

    friend bool operator==(const StringBuffer& a, const StringBuffer& b) { return a.s_ == b.s_; }

private:
    void reserveFirst(std::size_t extra);
    bool aliases(std::string_view s) const;  // s points into our own bytes

    std::uint8_t check_ = kCheckByte;
    std::string s_;
};

class DataBuffer {
public:
    static constexpr std::uint8_t kCheckByte = 0xDB;

    DataBuffer() = default;
    explicit DataBuffer(std::string_view bytes) : b_(bytes) {}

    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(b_.data()); }
    std::string_view view() const { return b_; }
    const std::string& str() const { return b_; }
    std::string& raw() { return b_; }
    std::size_t getSize() const { return b_.size(); }
    bool isEmpty() const { return b_.empty(); }

    void clear() { b_.clear(); }
    void append(std::string_view bytes) { b_.append(bytes); }
    void append(const void* p, std::size_t n) { b_.append(static_cast<const char*>(p), n); }
    void appendByte(unsigned char c) { b_.push_back(static_cast<char>(c)); }
    void assign(std::string_view bytes) { b_.assign(bytes); }
    bool equals(std::string_view bytes) const { return b_ == bytes; }

    bool checkOk() const { return check_ == kCheckByte; }

private:
    std::uint8_t check_ = kCheckByte;
    std::string b_;
};

}  // namespace zelmar::mail
