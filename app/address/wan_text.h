// The texts of the WAN lookup: the address cut out of an echo page and the
// service's system message. Pure
// functions of their input: the page is outside input, so they are fuzzed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zelmar {

// The text between the first start delimiter and the first end delimiter
// after it, with blanks, tabs, CRs and LFs trimmed; nullopt when either is
// missing. Delimiters match case-sensitively.
std::optional<std::string> ExtractBetween(const std::string& page, const std::string& start,
                                          const std::string& end);

// True for an IPv4 address in dotted decimal ("203.0.113.7") or an IPv6
// address literal ("2001:db8::7"), nothing else.
bool IsAddressLiteral(const std::string& text);

// The WAN address an echo page gives: the text between the delimiters
// (ExtractBetween), accepted only when it is an address literal. Anything
// else (nothing but blanks, markup, a long line, "%H%T") is no address:
// nullopt, a failed lookup.
std::optional<std::string> WanAddressFromPage(const std::string& page, const std::string& start,
                                              const std::string& end);

// "<SystemMessage>...</SystemMessage>" of the default service's page,
// trimmed; empty when there is none or it is not closed.
std::string SystemMessageOf(const std::string& page);

}  // namespace zelmar
