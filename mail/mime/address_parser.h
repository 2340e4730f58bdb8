// Reading mail addresses as people write them (RFC 5322 mailboxes): a bare
// "user@host", "Name <user@host>", a quoted or multi-word display name, and
// lists of them separated by commas.
//
// What comes out is safe to put on the SMTP wire and into a header: a local
// part of printable characters (UTF-8 allowed, the caller decides whether
// the server may see it), and a domain in ASCII (internationalised names are
// converted to their A-label form with libidn2) or an address literal.
// Anything else, a blank, an angle bracket or a control character where an
// address should be, makes the whole text refused, never half-taken: a
// recipient setting must not be able to add ESMTP parameters or split one
// address into two.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelmar::mail {

struct Mailbox {
    std::string name;    // display name as text (UTF-8), without quoting
    std::string local;   // local part, without quoting
    std::string domain;  // ASCII domain or "[address literal]"
    std::string address() const { return local + "@" + domain; }
    // A local part beyond ASCII needs a server that offers SMTPUTF8.
    bool needsSmtpUtf8() const;
};

struct AddressListResult {
    bool ok = false;
    std::vector<Mailbox> mailboxes;
    std::string error;  // why the text was refused (when not ok)
};

// A list of mailboxes separated by commas; empty entries are skipped, so
// "a@x, , b@y," gives two. An empty list is not ok.
AddressListResult parseAddressList(std::string_view text);

// One address without display name ("user@host", also inside "<...>").
AddressListResult parseAddrSpec(std::string_view text);

// A domain in ASCII: IDNA A-labels for non-ASCII labels, lower-cased;
// false when it is no usable host name.
bool domainToAscii(std::string_view domain, std::string& out);

// True when text has no blank, "<", ">" or control character: what may
// stand inside "MAIL FROM:<...>" and "RCPT TO:<...>".
bool isSafeEnvelopeAddress(std::string_view address);

}  // namespace zelmar::mail
