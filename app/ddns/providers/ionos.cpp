// IONOS's hosting DNS API (developer.hosting.ionos.com/docs/dns, v1) with an
// API key "PREFIX.SECRET" in "X-API-Key": GET /zones lists [{"id", "name"}],
// GET /zones/ID?recordName=NAME&recordType=T answers the zone with its
// matching {"records": [{"id", "content"}]}, PUT /zones/ID/records/RID with
// {"content", "ttl", "disabled"} answers the record, and POST
// /zones/ID/records takes a list of records and answers the list created.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_ionos {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const std::vector<std::string> auth = {"X-API-Key: " + e.secret};
    ZoneLookup zones{""};
    auto zoneUrl = [&](const std::string& zone, std::string& url, DeliveryResult& out) {
        if (!zones.Find(e, t, JsonRequest(e, t, "GET", ProviderBase(e) + "/zones", auth), zone, out)) return false;
        url = ProviderBase(e) + "/zones/" + UrlEscape(zones.id);
        return true;
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        std::string url;
        if (!zoneUrl(zone, url, out)) return false;
        url += "?recordName=" + UrlEscape(host) + "&recordType=" + w.type;
        RecordShape shape{"records", "content"};
        shape.missingIsEmpty = true;
        return ListRecords(e, t, JsonRequest(e, t, "GET", url, auth), shape, w, host, found, out);
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        std::string url;
        if (!zoneUrl(zone, url, out)) return false;
        nlohmann::json record = {{"content", w.address}, {"ttl", e.ttl}, {"disabled", false}};
        if (id.empty()) {
            record["name"] = host;
            record["type"] = w.type;
        }
        nlohmann::json json;
        const nlohmann::json body = id.empty() ? nlohmann::json::array({record}) : record;
        if (!CallJson(e, t, RecordWrite(e, t, url + "/records", id, "PUT", auth, body), WriteStep(id), json, out))
            return false;
        held = JsonText(json.is_array() && !json.empty() ? json[0] : json, "content");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_ionos

extern const DdnsProvider kDdnsProviderIonos = {
    .word = "ionos",
    .name = "IONOS DNS",
    .server = "https://api.hosting.ionos.com/dns/v1",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .secret = "the API key as \"prefix.secret\"",
               .ttl = true},
    .tokenUrl = "https://developer.hosting.ionos.com/keys",
    .note = "records are created when missing",
    .deliver = provider_ionos::Deliver,
};

}  // namespace zelmar
