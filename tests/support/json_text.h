// A text as a JSON string literal, for handing byte-exact test inputs to the
// Python checkers. Bytes at and above 0x80 pass as they are: the checkers
// read them back with the same escape-free view, so invalid UTF-8 reaches
// the code under test unchanged.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zelmar::test {

inline std::string JsonQuote(std::string_view s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o.push_back('\\');
            o.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o.push_back(static_cast<char>(c));
        }
    }
    return o + "\"";
}

}  // namespace zelmar::test
