#include "app/address/wan_text.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>

#include "app/core/text.h"

namespace zelmar {

namespace {

constexpr const char* kSystemMessageOpen = "<SystemMessage>";
constexpr const char* kSystemMessageClose = "</SystemMessage>";

std::string Trim(const std::string& s) { return TrimBlanks(s); }

}  // namespace

std::optional<std::string> ExtractBetween(const std::string& page, const std::string& start,
                                          const std::string& end) {
    const std::size_t s = page.find(start);
    if (s == std::string::npos) return std::nullopt;
    const std::size_t from = s + start.size();
    const std::size_t e = page.find(end, from);
    if (e == std::string::npos) return std::nullopt;
    return Trim(page.substr(from, e - from));
}

bool IsAddressLiteral(const std::string& text) {
    // The longest IPv6 literal ("ffff:...:255.255.255.255") has 45 characters.
    if (text.empty() || text.size() > INET6_ADDRSTRLEN || text.find('\0') != std::string::npos) return false;
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, text.c_str(), buf) == 1 || ::inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

std::optional<std::string> WanAddressFromPage(const std::string& page, const std::string& start,
                                              const std::string& end) {
    // The address travels into the settings file, the log, every later log
    // line and the published page (where the page generator would expand
    // tokens in it again): only an address may pass. Delimiters with
    // nothing between them are an echo page that failed, not an address.
    std::optional<std::string> between = ExtractBetween(page, start, end);
    if (between && IsAddressLiteral(*between)) return between;
    return std::nullopt;
}

std::string SystemMessageOf(const std::string& page) {
    const std::size_t open = page.find(kSystemMessageOpen);
    if (open == std::string::npos) return std::string();
    const std::size_t from = open + std::char_traits<char>::length(kSystemMessageOpen);
    const std::size_t close = page.find(kSystemMessageClose, from);
    if (close == std::string::npos) return std::string();
    return Trim(page.substr(from, close - from));
}

}  // namespace zelmar
