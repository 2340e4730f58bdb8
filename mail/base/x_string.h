// The text type at the facade boundary.
//
// Holds one text and hands it out as ANSI, UTF-8 or UTF-16 on demand. On
// this platform the system ANSI code page is UTF-8, so the ANSI and UTF-8
// forms are the same bytes; the distinction is kept because callers state
// which one they mean.
#pragma once

#include <string>
#include <string_view>

namespace zelmar::mail {

// The code pages the component treats as "ansi" and "oem".
int systemAnsiCodePage();
int systemOemCodePage();

class XString {
public:
    XString() = default;

    void setFromUtf8(std::string_view s) { utf8_.assign(s); }
    void setFromAnsi(std::string_view s) { utf8_.assign(s); }
    void setFromUtf16(std::u16string_view s);

    const std::string& getUtf8() const { return utf8_; }
    const std::string& getAnsi() const { return utf8_; }
    std::u16string getUtf16() const;

    bool isEmpty() const { return utf8_.empty(); }
    void clear() { utf8_.clear(); }
    bool is7Bit() const;

private:
    std::string utf8_;
};

}  // namespace zelmar::mail
