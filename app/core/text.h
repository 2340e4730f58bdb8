// Small text helpers shared by the whole program.
#pragma once

#include <string>

namespace zelmar {

// Space, tab, CR, LF, vertical tab, form feed.
inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The text without leading and trailing blanks.
std::string TrimBlanks(const std::string& s);

// ASCII letters in upper case; other bytes as they are.
std::string UpperAscii(std::string s);

// ASCII case-insensitive equality.
bool EqualsNoCase(const std::string& a, const std::string& b);

// Leading-integer conversion, as the program reads numbers: optional blanks,
// optional sign, digits; anything else reads as 0. Clamped to 32 bits.
long LeadingInt(const std::string& text);

}  // namespace zelmar
