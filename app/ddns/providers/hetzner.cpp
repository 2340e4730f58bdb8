// Hetzner DNS, the DNS Console's public API (dns.hetzner.com/api-docs, v1)
// with an API token in "Auth-API-Token": GET /zones?name=ZONE answers
// {"zones": [{"id", "name"}]}, GET /records?zone_id=ID lists {"records":
// [{"id", "type", "name", "value"}]} ("@" names the zone itself), PUT
// /records/RID and POST /records take {"zone_id", "type", "name", "value",
// "ttl"} and answer {"record": {..., "value"}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_hetzner {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const std::vector<std::string> auth = {"Auth-API-Token: " + e.secret};
    ZoneLookup zones{"zones"};
    auto zoneIdOf = [&](const std::string& zone, DeliveryResult& out) {
        return zones.Find(e, t, JsonRequest(e, t, "GET", ProviderBase(e) + "/zones?name=" + UrlEscape(zone), auth), zone, out);
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        if (!zoneIdOf(zone, out)) return false;
        const auto q = JsonRequest(e, t, "GET", ProviderBase(e) + "/records?zone_id=" + UrlEscape(zones.id), auth);
        RecordShape shape{"records", "value", "type", "name"};
        shape.missingIsEmpty = true;
        return ListRecords(e, t, q, shape, w, RelativeName(host, zone), found, out);
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        if (!zoneIdOf(zone, out)) return false;
        const nlohmann::json body = {
            {"zone_id", zones.id}, {"type", w.type}, {"name", RelativeName(host, zone)}, {"value", w.address}, {"ttl", e.ttl}};
        nlohmann::json json;
        if (!CallJson(e, t, RecordWrite(e, t, ProviderBase(e) + "/records", id, "PUT", auth, body), WriteStep(id), json, out))
            return false;
        held = JsonText(json.is_object() ? json.value("record", nlohmann::json()) : json, "value");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_hetzner

extern const DdnsProvider kDdnsProviderHetzner = {
    .word = "hetzner",
    .name = "Hetzner DNS",
    .server = "https://dns.hetzner.com/api/v1",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .secret = "an API token of the DNS Console",
               .ttl = true},
    .tokenUrl = "https://dns.hetzner.com/settings/api-token",
    .note = "records are created when missing",
    .deliver = provider_hetzner::Deliver,
};

}  // namespace zelmar
