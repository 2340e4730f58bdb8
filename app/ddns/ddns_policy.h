// What a dynamic-DNS entry does with an answer, and when it tries at all.
//
// Providers lock accounts that keep sending after a refusal or that send the
// same address again and again, so every answer a protocol can give is a row
// of a table that says once what it means: the update worked, try again
// later (with a back-off), or stop until the user changes the entry. One
// function reads the tables; each provider brings its own (ddns_provider.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "app/ddns/ddns_entry.h"
#include "app/refresh/channel_record.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

enum class AnswerClass {
    Updated,    // the name now holds the address
    Unchanged,  // it held it already
    Retry,      // a passing fault: try again after the back-off
    Stop,       // a refusal: no more tries until the entry's settings change
};

struct AnswerRow {
    const char* answer;   // the provider's word, or an rcode name for rfc2136
    AnswerClass action;
    const char* meaning;  // what the user reads
};

// The table of one protocol (for the HTTP protocols, the words of the body;
// HTTP statuses are in DdnsHttpStatusClass).
std::span<const AnswerRow> DdnsAnswerTable(DdnsProtocol p);
// The row for an answer (exact word); nullptr when the table does not know it.
const AnswerRow* FindDdnsAnswer(DdnsProtocol p, const std::string& answer);

// An HTTP status before the body is read: 2xx goes on to the body (Updated
// here), 401/403/404 and the other 4xx stop, 429 and 5xx retry; a redirect
// (never followed: it would carry the secret elsewhere) stops too.
AnswerClass DdnsHttpStatusClass(long status);

// Back-off after `failures` failed tries before this one: the channels'
// table (RetryBackoffSeconds: 5 minutes, doubling, never more than one hour).
inline std::int64_t DdnsBackoffSeconds(int failures) { return RetryBackoffSeconds(failures); }

// Free accounts expire when their name is not updated for about 30 days
// (a provider's "refreshDays", 25 unless it says otherwise).
inline constexpr std::int64_t kDdnsRefreshSeconds = 25LL * 24 * 60 * 60;

// The addresses an entry sends, from the snapshot: empty when the entry does
// not want that type or the refresh found none.
struct DdnsAddresses {
    std::string a;
    std::string aaaa;
    bool empty() const { return a.empty() && aaaa.empty(); }
};
DdnsAddresses WantedAddresses(const DdnsEntry& e, const RefreshSnapshot& snapshot);

// Whether the entry should try now (see the channel for the rules).
bool DdnsDue(const DdnsEntry& e, const RefreshSnapshot& snapshot, const ChannelRecord& record,
             std::int64_t now);

// The result of an attempt that ended with this class.
DeliveryResult DdnsResult(AnswerClass action, std::string code, std::string step, std::string reply,
                          int failures, std::int64_t now);

// A server's words made safe to show: the secret masked in every form it
// travels in (SecretForms), then control bytes dropped and the rest cut to
// a line's worth.
std::string MaskReply(const std::string& reply, const std::string& secret, std::size_t limit = 200);

}  // namespace zelmar
