// GoDaddy's Domains API: PUT /v1/domains/ZONE/records/TYPE/NAME with
// [{"data": address, "ttl": ttl}] and "Authorization: sso-key KEY:SECRET".
// Success is HTTP 200 with an empty body; refusals are 4xx with a JSON
// {"code", "message"}.
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace provider_godaddy {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        for (const WantedRecord& w : WantedRecords(want)) {
            HttpsRequest q = ProviderRequest(e, t, "PUT",
                                             ProviderBase(e) + "/v1/domains/" + UrlEscape(zone) + "/records/" +
                                                 w.type + "/" + UrlEscape(RelativeName(host, zone)));
            q.headers = {"Authorization: sso-key " + e.login + ":" + e.secret, "Content-Type: application/json"};
            // The API takes no TTL under 600 s.
            q.body = nlohmann::json::array({{{"data", w.address}, {"ttl", std::max(e.ttl, 600)}}}).dump();
            nlohmann::json json;
            DeliveryResult out;
            if (!CallJson(e, t, q, "update", json, out)) return out;
        }
    }
    return ProviderResult(e, t, "updated", "update", "");
}

}  // namespace provider_godaddy

extern const DdnsProvider kDdnsProviderGoDaddy = {
    .word = "godaddy",
    .name = "GoDaddy",
    .server = "https://api.godaddy.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .login = "the API key",
               .secret = "the API key's secret",
               .ttl = true,
               .needsLogin = true},
    .tokenUrl = "https://developer.godaddy.com/keys",
    .note = "a production API key; TTL at least 600 s",
    .deliver = provider_godaddy::Deliver,
};

}  // namespace zelmar
