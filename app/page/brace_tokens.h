// Named tokens of the form "%{name}" for pages, mails, webhooks and hooks.
//
// They live beside the page's one- and two-letter tokens without changing
// what any existing template means: those are replaced in a fixed order in
// which "%WI6" would already read as the WAN address followed by "6", so the
// newer values get a form of their own that no older template contains.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zelmar {

// The value of a name, or nullopt when the name is not one of ours: such a
// "%{...}" stays in the text as written.
using BraceLookup = std::function<std::optional<std::string>(std::string_view name)>;
// Applied to every value before it lands in the text: JSON string escaping
// inside a JSON body, percent-encoding inside a URL query. Empty: as it is.
using BraceEscape = std::function<std::string(std::string_view value)>;

// One left-to-right pass: every "%{name}" whose name the lookup knows is
// replaced by its (escaped) value. Values are not scanned again, so a value
// that itself holds "%{...}" stays as it came. An unclosed "%{" and a name
// longer than 64 characters are plain text.
std::string ExpandBraceTokens(std::string_view text, const BraceLookup& lookup, const BraceEscape& escape = {});

// A lookup over a fixed table of names.
BraceLookup BraceTable(std::map<std::string, std::string, std::less<>> values);

}  // namespace zelmar
