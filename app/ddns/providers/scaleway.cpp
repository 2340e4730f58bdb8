// Scaleway Domains and DNS (www.scaleway.com/en/developers/api/domains-and-dns,
// domain/v2beta1) with a secret key in "X-Auth-Token": one PATCH
// /dns-zones/ZONE/records per name with {"changes": [{"set": {"id_fields":
// {"name", "type"}, "records": [{"data", "name", "ttl", "type"}]}}]} replaces
// (or creates) its A/AAAA records and answers {"records": [...]} as changed.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_scaleway {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string name = RelativeName(host, zone, "");
        nlohmann::json changes = nlohmann::json::array();
        for (const WantedRecord& w : WantedRecords(want)) {
            const nlohmann::json record = {{"data", w.address}, {"name", name}, {"ttl", e.ttl}, {"type", w.type}};
            changes.push_back({{"set", {{"id_fields", {{"name", name}, {"type", w.type}}}, {"records", {record}}}}});
        }
        const nlohmann::json body = {{"changes", changes}, {"return_all_records", false}};
        const auto q = JsonRequest(e, t, "PATCH", ProviderBase(e) + "/dns-zones/" + UrlEscape(zone) + "/records",
                                   {"X-Auth-Token: " + e.secret}, &body);
        nlohmann::json records;
        DeliveryResult out;
        if (!JsonList(e, t, q, "update", "records", false, records, out)) return out;
        for (const WantedRecord& w : WantedRecords(want))
            if (!ListHolds(records, "type", "data", w)) return ProviderResult(e, t, "otheraddress", "update", records.dump());
    }
    return ProviderResult(e, t, "updated", "update", "");
}

}  // namespace provider_scaleway

extern const DdnsProvider kDdnsProviderScaleway = {
    .word = "scaleway",
    .name = "Scaleway Domains and DNS",
    .server = "https://api.scaleway.com/domain/v2beta1",
    .fields = {.zone = "the DNS zone (the names' last two labels when empty)",
               .secret = "the secret key of an API key allowed to edit the zone",
               .ttl = true},
    .tokenUrl = "https://console.scaleway.com/iam/api-keys",
    .note = "replaces the name's A/AAAA records",
    .deliver = provider_scaleway::Deliver,
};

}  // namespace zelmar
