// Mythic Beasts' DNS API v2 (www.mythic-beasts.com/support/api/dnsv2) with
// an API key's ID and secret as HTTP Basic: PUT
// /zones/ZONE/records/HOST/TYPE with {"records": [{"host", "ttl", "type",
// "data"}]} replaces the name's records of the type ("@" names the zone
// itself) and answers {"records_added", "records_removed", "message"}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_mythicbeasts {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    bool changed = false;
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string name = RelativeName(host, zone);
        for (const WantedRecord& w : WantedRecords(want)) {
            const nlohmann::json body = {
                {"records", {{{"host", name}, {"ttl", e.ttl}, {"type", w.type}, {"data", w.address}}}}};
            const std::string url =
                ProviderBase(e) + "/zones/" + UrlEscape(zone) + "/records/" + UrlEscape(name) + "/" + w.type;
            nlohmann::json json;
            DeliveryResult out;
            if (!CallJson(e, t, WithLogin(e, JsonRequest(e, t, "PUT", url, {}, &body)), "update", json, out)) return out;
            if (!json.is_object() || !json.contains("records_added"))
                return ProviderResult(e, t, "badjson", "update", json.dump());
            // Replacing the records by the same ones adds and removes none.
            changed = changed || JsonText(json, "records_added") != "0" || JsonText(json, "records_removed") != "0";
        }
    }
    return ProviderResult(e, t, changed ? "updated" : "unchanged", "update", "");
}

}  // namespace provider_mythicbeasts

extern const DdnsProvider kDdnsProviderMythicBeasts = {
    .word = "mythicbeasts",
    .name = "Mythic Beasts",
    .server = "https://api.mythic-beasts.com/dns/v2",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .login = "the API key's ID",
               .secret = "the API key's secret",
               .ttl = true,
               .needsLogin = true},
    .tokenUrl = "https://www.mythic-beasts.com/customer/api-users",
    .note = "replaces the name's A/AAAA records",
    .deliver = provider_mythicbeasts::Deliver,
};

}  // namespace zelmar
