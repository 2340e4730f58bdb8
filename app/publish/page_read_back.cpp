#include "app/publish/page_read_back.h"

#include <arpa/inet.h>

#include <functional>

#include "app/address/http_fetch.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

// Characters an address literal is made of; a page's words are split at
// every other one.
bool InPageAddressWord(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
}

bool IsPageLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether a word is an address literal.
bool IsPageAddressLiteral(std::string_view word) {
    if (word.empty() || word.size() > 45) return false;
    char text[46] = {};
    word.copy(text, word.size());
    unsigned char bytes[16];
    return inet_pton(AF_INET, text, bytes) == 1 || inet_pton(AF_INET6, text, bytes) == 1;
}

// The address literal a word is, without the punctuation around it ("at
// 203.0.113.7." or "[2001:db8::1]:"); empty when it is none.
std::string_view PageAddressWord(std::string_view word) {
    if (IsPageAddressLiteral(word)) return word;
    while (!word.empty() && (word.back() == '.' || word.back() == ':')) word.remove_suffix(1);
    while (!word.empty() && word.front() == '.') word.remove_prefix(1);
    return IsPageAddressLiteral(word) ? word : std::string_view();
}

// Calls each for every address on the page until it returns true. The
// unspecified addresses ("::" in "std::string", "0.0.0.0") are no address a
// page reports.
void ForEachPageAddress(std::string_view page, const std::function<bool(const Address&)>& each) {
    std::size_t at = 0;
    while (at < page.size()) {
        while (at < page.size() && !InPageAddressWord(page[at])) ++at;
        std::size_t end = at;
        while (end < page.size() && InPageAddressWord(page[end])) ++end;
        // A word glued to letters ("std::string", "v203.0.113.7a") is part of
        // some other word.
        const bool glued = (at > 0 && IsPageLetter(page[at - 1])) || (end < page.size() && IsPageLetter(page[end]));
        const std::string_view word = glued ? std::string_view() : PageAddressWord(page.substr(at, end - at));
        at = end;
        if (word.empty()) continue;
        const Address address(word);
        if (address.text() == "::" || address.text() == "0.0.0.0") continue;
        if (each(address)) return;
    }
}

}  // namespace

Address FirstAddressOnPage(std::string_view page) {
    Address first;
    ForEachPageAddress(page, [&](const Address& a) {
        first = a;
        return true;
    });
    return first;
}

bool PageShowsAddress(std::string_view page, const Address& address) {
    if (!address.known()) return false;
    bool shows = false;
    ForEachPageAddress(page, [&](const Address& a) {
        shows = a == address;
        return shows;
    });
    return shows;
}

PageReadBack ReadPageBack(const std::string& url, const Address& wan, std::chrono::milliseconds timeout) {
    const HttpFetchResult page = HttpGet(url, timeout);
    if (!page.ok) return {false, Message<Msg::PageReadBackUnreadable>(url, page.error)};
    // An error page is not the page, whatever it holds.
    if (page.status >= 400) return {false, Message<Msg::PageReadBackStatus>(url, page.status)};
    if (PageShowsAddress(page.body, wan)) return {true, Message<Msg::PageReadBackShows>(url, wan.text())};
    const Address shown = FirstAddressOnPage(page.body);
    if (!shown.known()) return {false, Message<Msg::PageReadBackNoAddress>(url)};
    return {false, Message<Msg::PageReadBackStale>(url, shown.text())};
}

}  // namespace zelmar
