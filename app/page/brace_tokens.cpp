#include "app/page/brace_tokens.h"

#include <memory>

namespace zelmar {

namespace {
constexpr std::size_t kMaxBraceName = 64;
}

std::string ExpandBraceTokens(std::string_view text, const BraceLookup& lookup, const BraceEscape& escape) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find("%{", pos);
        if (open == std::string_view::npos) break;
        const std::size_t nameStart = open + 2;
        const std::size_t close = text.find('}', nameStart);
        std::optional<std::string> value;
        if (close != std::string_view::npos && close - nameStart <= kMaxBraceName && lookup)
            value = lookup(text.substr(nameStart, close - nameStart));
        if (!value) {
            // Not ours: keep the "%{" and look for the next token after it,
            // so "%{%{wan}" still expands its second half.
            out.append(text.substr(pos, nameStart - pos));
            pos = nameStart;
            continue;
        }
        out.append(text.substr(pos, open - pos));
        out.append(escape ? escape(*value) : *value);
        pos = close + 1;
    }
    out.append(text.substr(pos));
    return out;
}

BraceLookup BraceTable(std::map<std::string, std::string, std::less<>> values) {
    auto table = std::make_shared<const std::map<std::string, std::string, std::less<>>>(std::move(values));
    return [table](std::string_view name) -> std::optional<std::string> {
        const auto it = table->find(name);
        if (it == table->end()) return std::nullopt;
        return it->second;
    };
}

}  // namespace zelmar
