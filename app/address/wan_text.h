// The texts of the WAN lookup: the address cut out of an echo page, the
// service's system message, and the stored form of an address. Pure
// functions of their input: the page is outside input, so they are fuzzed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zelmar {

inline constexpr const char* kUnknownWanAddress = "N/A";
// "LastWANIP" holds at most this many characters.
inline constexpr std::size_t kStoredAddressChars = 20;

// The text between the first start delimiter and the first end delimiter
// after it, with blanks, tabs, CRs and LFs trimmed; nullopt when either is
// missing. Delimiters match case-sensitively.
std::optional<std::string> ExtractBetween(const std::string& page, const std::string& start,
                                          const std::string& end);

// True for an IPv4 address in dotted decimal ("203.0.113.7") or an IPv6
// address literal ("2001:db8::7"), nothing else.
bool IsAddressLiteral(const std::string& text);

// The WAN address an echo page gives: the text between the delimiters
// (ExtractBetween), accepted only when it is an address literal or, after
// trimming, empty. Anything else (markup, a long line, "%H%T") is no
// address: nullopt, a failed lookup.
std::optional<std::string> WanAddressFromPage(const std::string& page, const std::string& start,
                                              const std::string& end);

// The form of a WAN address as stored in "LastWANIP", which holds at most 20
// characters. A longer text is stored as its first 11 characters, "~" and a
// hash of the whole, so that an unchanged long text is recognised and a
// changed one is not mistaken for it.
std::string StoredWanForm(const std::string& address);

// "<SystemMessage>...</SystemMessage>" of the default service's page,
// trimmed; empty when there is none or it is not closed.
std::string SystemMessageOf(const std::string& page);

}  // namespace zelmar
