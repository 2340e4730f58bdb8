// The four protocols Zelmar began with, callable by name (their provider
// files in app/ddns/providers/ register them; the other providers are
// reached through the registry, ddns_provider.h). Each takes the entry and
// the addresses to send and hands back one result whose code is a word of
// the provider's table (ddns_policy.h), so that one place decides what it
// means.
#pragma once

#include <cstdint>
#include <string>

#include "app/ddns/ddns_entry.h"
#include "app/ddns/ddns_policy.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

struct DdnsAttempt {
    int failures = 0;         // failed tries before this one (for the back-off)
    std::int64_t now = 0;     // seconds since the epoch
    int timeoutSeconds = 15;  // "Timeout": any one network wait, a whole DNS exchange
};

// RFC 2136: asks the server first, sends one TSIG-signed UPDATE that replaces
// each name's A/AAAA records, and reads them back.
DeliveryResult Rfc2136Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& attempt);

// The signed UPDATE alone (no query before or after): the answer's code
// word ("NOERROR", "BADSIG", "REFUSED", "timeout" ...) and a line on it.
std::string Rfc2136SendUpdate(const DdnsEntry& e, const DdnsAddresses& want, int timeoutSeconds,
                              std::string& detail);

DeliveryResult Dyndns2Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& attempt);
DeliveryResult DuckDnsDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& attempt);
DeliveryResult CloudflareDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& attempt);

// The meaning of a result's code for an entry's protocol, for the status line.
std::string DdnsMeaning(DdnsProtocol p, const std::string& code);

}  // namespace zelmar
