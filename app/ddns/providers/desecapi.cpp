// deSEC's REST API (desec.readthedocs.io, API v1) with a token
// ("Authorization: Token"): one bulk PUT /api/v1/domains/ZONE/rrsets/ with
// [{"subname", "type", "ttl", "records": [address]}] per name creates or
// replaces its A/AAAA record sets, and answers the sets as they now are. The
// dyndns2 interface of the same service is the "desec" preset.
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace provider_desecapi {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string subname = RelativeName(host, zone, "");
        nlohmann::json sets = nlohmann::json::array();
        // A domain's minimum TTL is 3600 s unless deSEC lowered it.
        for (const WantedRecord& w : WantedRecords(want))
            sets.push_back({{"subname", subname}, {"type", w.type}, {"ttl", std::max(e.ttl, 3600)}, {"records", {w.address}}});
        const auto q = JsonRequest(e, t, "PUT", ProviderBase(e) + "/domains/" + UrlEscape(zone) + "/rrsets/",
                                   {"Authorization: Token " + e.secret}, &sets);
        nlohmann::json answer;
        DeliveryResult out;
        if (!JsonList(e, t, q, "update", "", false, answer, out)) return out;
        for (const WantedRecord& w : WantedRecords(want))
            if (!ListHolds(answer, "type", "records", w)) return ProviderResult(e, t, "otheraddress", "update", answer.dump());
    }
    return ProviderResult(e, t, "updated", "update", "");
}

}  // namespace provider_desecapi

extern const DdnsProvider kDdnsProviderDesecApi = {
    .word = "desecapi",
    .name = "deSEC (REST API)",
    .server = "https://desec.io/api/v1",
    .fields = {.zone = "the domain as registered at deSEC (the names' last two labels when empty)",
               .secret = "a token allowed to write the domain's record sets",
               .ttl = true},
    .tokenUrl = "https://desec.io/tokens",
    .note = "replaces the name's A/AAAA record sets; TTL at least 3600 s",
    .deliver = provider_desecapi::Deliver,
};

}  // namespace zelmar
