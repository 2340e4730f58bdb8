#include "app/ddns/ddns_provider.h"

#include <cstdio>
#include <deque>

#include "app/core/text.h"

namespace zelmar {

#define ZELMAR_DDNS_PROVIDER(X) extern const DdnsProvider kDdnsProvider##X;
#include "app/ddns/providers/provider_list.h"
#undef ZELMAR_DDNS_PROVIDER

namespace {

struct Catalogue {
    std::deque<DdnsProvider> presets;  // a deque: the pointers below stay valid
    std::vector<const DdnsProvider*> all;

    Catalogue() {
#define ZELMAR_DDNS_PROVIDER(X) all.push_back(&kDdnsProvider##X);
#include "app/ddns/providers/provider_list.h"
#undef ZELMAR_DDNS_PROVIDER
        for (const Dyndns2Preset& p : Dyndns2Presets()) {
            DdnsProvider d = kDdnsProviderDyndns2;
            d.word = p.word;
            d.name = p.name;
            d.server = p.server;
            d.note = p.note;
            d.tokenUrl = p.tokenUrl;
            d.fields.server = "another server of the service (the preset's when empty)";
            presets.push_back(d);
            all.push_back(&presets.back());
        }
    }
};

const Catalogue& TheCatalogue() {
    static const Catalogue c;
    return c;
}

// What an entry of the provider must be given, for the catalogue.
std::string NeededFields(const DdnsProvider& p) {
    std::string out = "Host";
    const DdnsFields& f = p.fields;
    if (f.needsServer) out += ", Server";
    if (f.needsZone) out += ", Zone";
    if (f.needsLogin) out += ", Login";
    if (f.needsKeyName) out += ", KeyName";
    switch (p.secretKind) {
        case DdnsSecretKind::Password: out += ", password"; break;
        case DdnsSecretKind::Token: out += ", token"; break;
        case DdnsSecretKind::TsigKey: out += ", TSIG key"; break;
    }
    return out;
}

}  // namespace

std::span<const DdnsProvider* const> DdnsProviders() { return TheCatalogue().all; }

const DdnsProvider& ProviderOf(DdnsProtocol p) {
    const auto& all = TheCatalogue().all;
    const std::size_t at = static_cast<std::size_t>(p);
    return *(at < all.size() ? all[at] : all.front());
}

bool FindDdnsProvider(const std::string& word, DdnsProtocol& out) {
    const auto& all = TheCatalogue().all;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (EqualsNoCase(word, all[i]->word)) {
            out = static_cast<DdnsProtocol>(i);
            return true;
        }
    }
    return false;
}

std::string ProviderCatalogueText() {
    std::string out;
    for (const DdnsProvider* p : DdnsProviders()) {
        char line[512];
        std::snprintf(line, sizeof line, "%-13s %-42s %s\n", p->word, p->name, NeededFields(*p).c_str());
        out += line;
    }
    return out;
}

std::string ProviderCatalogueMarkdown() {
    std::string out = "| Protocol= | Provider | Needs | Default server | Note |\n|---|---|---|---|---|\n";
    for (const DdnsProvider* p : DdnsProviders()) {
        out += std::string("| `") + p->word + "` | " + p->name + " | " + NeededFields(*p) + " | " +
               (*p->server ? std::string("`") + p->server + "`" : std::string("(its own)")) + " | " + p->note +
               " |\n";
    }
    return out;
}

}  // namespace zelmar
