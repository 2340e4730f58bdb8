// After an upload: the published page fetched from where its visitors read
// it, to see that it shows the address just uploaded. A server can take the
// file and still serve an old copy (a cache in front of it, a second web
// root, a folder other than the one the site serves), and only reading the
// page back shows that.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "app/core/address_set.h"
#include "app/core/status_message.h"

namespace zelmar {

// The address literals (IPv4 or IPv6) a page's text holds, read as whole
// words: "203.0.113.70" does not hold 203.0.113.7. FirstAddressOnPage is
// unknown when the page holds none.
Address FirstAddressOnPage(std::string_view page);
bool PageShowsAddress(std::string_view page, const Address& address);

struct PageReadBack {
    bool shows = false;
    // The line that says how the check went.
    StatusMessage line;
};

// Fetches url (through the program's one HTTP request set-up, within
// timeout) and checks that it shows wan.
PageReadBack ReadPageBack(const std::string& url, const Address& wan, std::chrono::milliseconds timeout);

}  // namespace zelmar
