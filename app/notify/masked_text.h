// Text that came from outside (a server's answer, a script's output) on its
// way into the log and the status line: bounded, and with every control
// character shown as "?" so that it can neither end a log line early, move
// the cursor of a terminal that shows the log, nor hide what follows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelmar {

// At most limit bytes of text with the control characters (below 0x20, and
// 0x7F) replaced; "..." is added when text was longer.
inline std::string MaskedForLog(std::string_view text, std::size_t limit) {
    std::string out;
    const std::size_t n = text.size() < limit ? text.size() : limit;
    out.reserve(n + 3);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    if (text.size() > limit) out += "...";
    return out;
}

}  // namespace zelmar
