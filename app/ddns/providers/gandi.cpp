// Gandi LiveDNS (API v5): PUT /domains/ZONE/records/NAME/TYPE with
// {"rrset_values": [address], "rrset_ttl": ttl} and a personal access token
// ("Authorization: Bearer"). The record set is replaced whole; the API
// answers 201 {"message": "DNS Record Created"}.
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace provider_gandi {

constexpr AnswerRow kAnswers[] = {
    {"DNS Record Created", AnswerClass::Updated, "updated"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        for (const WantedRecord& w : WantedRecords(want)) {
            HttpsRequest q = ProviderRequest(e, t, "PUT",
                                             ProviderBase(e) + "/domains/" + UrlEscape(zone) + "/records/" +
                                                 UrlEscape(RelativeName(host, zone)) + "/" + w.type);
            q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
            // LiveDNS takes no TTL under 300 s.
            q.body = nlohmann::json{{"rrset_values", {w.address}}, {"rrset_ttl", std::max(e.ttl, 300)}}.dump();
            nlohmann::json json;
            DeliveryResult out;
            if (!CallJson(e, t, q, "update", json, out)) return out;
            if (!AnswerStarting(e, JsonText(json, "message")))
                return ProviderResult(e, t, "unexpected", "update", json.dump());
        }
    }
    return ProviderResult(e, t, "DNS Record Created", "update", "");
}

}  // namespace provider_gandi

extern const DdnsProvider kDdnsProviderGandi = {
    .word = "gandi",
    .name = "Gandi LiveDNS",
    .server = "https://api.gandi.net/v5/livedns",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "a personal access token allowed to manage the domain's DNS records",
               .ttl = true},
    .tokenUrl = "https://account.gandi.net/",
    .note = "replaces the name's A/AAAA record set",
    .answers = provider_gandi::kAnswers,
    .deliver = provider_gandi::Deliver,
};

}  // namespace zelmar
