#include "app/core/messages.h"

#include <array>
#include <cctype>

namespace zelmar {

namespace {
// The table is indexed by its names: a row out of place is a build error.
constexpr bool InOrder() {
    for (int i = 0; i < static_cast<int>(std::size(kMessages)); ++i)
        if (static_cast<int>(kMessages[i].id) != i) return false;
    return true;
}
static_assert(InOrder(), "kMessages must list the messages in the order of Msg");

// The codes the status lines have always shared; every other code names one
// message.
constexpr bool SharedOfOld(std::string_view code) {
    return code.empty() || code == "P" || code == "P10007" || code == "P10009";
}
// "P" and five digits as a number, else -1.
constexpr int CodeNumber(std::string_view code) {
    if (code.size() != 6 || code[0] != 'P') return -1;
    int n = 0;
    for (char c : code.substr(1)) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}
// One pass over the table with a mark per number: comparing every pair of
// several hundred codes is more than a compiler's constant evaluation allows.
constexpr bool CodesUnique() {
    std::array<bool, 100000> seen{};
    for (std::size_t i = 0; i < std::size(kMessages); ++i) {
        const std::string_view code = kMessages[i].code;
        if (SharedOfOld(code)) continue;
        const int n = CodeNumber(code);
        if (n >= 0) {
            if (seen[static_cast<std::size_t>(n)]) return false;
            seen[static_cast<std::size_t>(n)] = true;
            continue;
        }
        for (std::size_t j = i + 1; j < std::size(kMessages); ++j)
            if (code == kMessages[j].code) return false;
    }
    return true;
}
static_assert(CodesUnique(), "a new message takes a code of its own");

char FoldedChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (FoldedChar(text[i]) != FoldedChar(prefix[i])) return false;
    return true;
}
}  // namespace

std::string FillMessage(Msg id, std::initializer_list<std::string_view> values) {
    const std::string_view text = MessageText(id);
    std::string out;
    auto value = values.begin();
    std::size_t pos = 0;
    for (std::size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", pos)) {
        out.append(text.substr(pos, at - pos));
        if (value != values.end()) out.append(*value++);
        pos = at + 2;
    }
    out.append(text.substr(pos));
    return out;
}

StatusMessage Message(Msg id, std::initializer_list<std::string_view> values) {
    return StatusMessage::Program(MessageOf(id).code, FillMessage(id, values));
}

bool LooksLikeOwnLine(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t");
    text.remove_prefix(start == std::string_view::npos ? text.size() : start);
    if (text.empty()) return false;
    for (const MessageEntry& entry : kMessages) {
        // What every line of the entry begins with: its text up to the first
        // value, without the blanks at its end.
        std::string_view fixed = entry.text;
        fixed = fixed.substr(0, fixed.find("{}"));
        fixed = fixed.substr(0, fixed.find_last_not_of(' ') + 1);
        // A single word ("The", "zelmar:") says too little to be ours; a
        // quote begins the file errors ("'<file>' was not found.").
        const bool telling = fixed.find(' ') != std::string_view::npos || fixed == "'";
        if (telling && StartsWithNoCase(text, fixed)) return true;
    }
    return false;
}

}  // namespace zelmar
