// Vultr's API v2 with an API key ("Authorization: Bearer"): GET
// /v2/domains/ZONE/records lists {"records": [{"id", "type", "name",
// "data"}]} ("" names the zone itself), PATCH .../records/ID with {"data"}
// answers 204 without a body, POST .../records answers 201 {"record": {...}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_vultr {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    auto records = [&](const std::string& zone) { return ProviderBase(e) + "/v2/domains/" + UrlEscape(zone) + "/records"; };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        // Up to 500 records in one page: a home zone has far fewer.
        return ListRecords(e, t, JsonRequest(e, t, "GET", records(zone) + "?per_page=500", {BearerHeader(e)}),
                           {"records", "data", "type", "name"}, w, RelativeName(host, zone, ""), found, out);
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        nlohmann::json body = {{"data", w.address}, {"ttl", e.ttl}};
        if (id.empty()) {
            body["name"] = RelativeName(host, zone, "");
            body["type"] = w.type;
        }
        nlohmann::json json;
        if (!CallJson(e, t, RecordWrite(e, t, records(zone), id, "PATCH", {BearerHeader(e)}, body), WriteStep(id), json, out))
            return false;
        // A change answers 204 without a body; a creation shows the record.
        if (id.empty()) held = JsonText(json.is_object() ? json.value("record", nlohmann::json()) : json, "data");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_vultr

extern const DdnsProvider kDdnsProviderVultr = {
    .word = "vultr",
    .name = "Vultr DNS",
    .server = "https://api.vultr.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "the account's API key (with this machine's address allowed)",
               .ttl = true},
    .tokenUrl = "https://my.vultr.com/settings/#settingsapi",
    .note = "records are created when missing",
    .deliver = provider_vultr::Deliver,
};

}  // namespace zelmar
