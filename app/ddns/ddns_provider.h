// A dynamic-DNS provider, described once: what "Protocol=" word picks it,
// what it is called, where its service is, which settings of an entry it
// reads (with a line of help each), how it sends an update, what each of its
// answers means and when an entry of it is due. The entry parser, the
// policy, the channel, "--list-providers", the window's dialog and the
// README's table all read these descriptors, so that a new provider is one
// file under app/ddns/providers/ and one line in provider_list.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/ddns/ddns_entry.h"
#include "app/ddns/ddns_policy.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

struct DdnsAttempt;

enum class DdnsSecretKind { Password, Token, TsigKey };

// The settings an entry of this provider reads besides Host, Records,
// Enabled and the secret. A help text says what to put there; nullptr means
// the field is not used (and the window hides it).
struct DdnsFields {
    const char* server = nullptr;   // "Server": an own server or another endpoint
    const char* zone = nullptr;     // "Zone"
    const char* login = nullptr;    // "Login"
    const char* keyName = nullptr;  // "KeyName" and "KeyAlgorithm" (TSIG)
    const char* secret = nullptr;   // the secret, whatever its kind
    bool ttl = false;               // "TTL"
    bool caFile = true;             // "CAFile" (every HTTPS provider)
    // Settings without which the entry cannot work.
    bool needsServer = false, needsZone = false, needsLogin = false, needsKeyName = false;
};

using DdnsDeliverFn = DeliveryResult (*)(const DdnsEntry&, const DdnsAddresses&, const DdnsAttempt&);

struct DdnsProvider {
    const char* word;           // "Protocol=" (lower case)
    const char* name;           // what the user knows it as
    const char* server = "";    // the public service; "" when the user names one
    DdnsSecretKind secretKind = DdnsSecretKind::Token;
    DdnsFields fields;
    const char* tokenUrl = "";  // where the account's secret is made
    const char* note = "";      // one line for the catalogue
    std::span<const AnswerRow> answers = {};  // its own words; transport and record words are shared
    DdnsDeliverFn deliver = nullptr;
    // Due rule: an own name server is asked on every refresh (it may have
    // been edited behind our back); a provider only when the address
    // changed, and every refreshDays days to keep a free account alive
    // (0: never).
    bool askEveryRefresh = false;
    int refreshDays = 25;
    // Checks of its own beyond the fields' "needs" (nullptr: none).
    void (*check)(const DdnsEntry&, std::vector<std::string>& problems) = nullptr;
};

// Every provider, in the catalogue's order: the four protocols first (their
// DdnsProtocol values are their places), then the rest as provider_list.h
// registers them, the dyndns2 presets last.
std::span<const DdnsProvider* const> DdnsProviders();
// The descriptor of an entry's provider (never null: an unknown value gives
// rfc2136's, which an entry never holds after ReadDdnsEntry checked it).
const DdnsProvider& ProviderOf(DdnsProtocol p);
// The provider a "Protocol=" word names (any case); false when none does.
bool FindDdnsProvider(const std::string& word, DdnsProtocol& out);

// A dyndns2 service under its own name: its server, and what to know.
struct Dyndns2Preset {
    const char* word;
    const char* name;
    const char* server;
    const char* note;
    const char* tokenUrl;
};
std::span<const Dyndns2Preset> Dyndns2Presets();

// The catalogue as "--list-providers" prints it and as the README's table
// (one Markdown row per provider).
std::string ProviderCatalogueText();
std::string ProviderCatalogueMarkdown();

}  // namespace zelmar
