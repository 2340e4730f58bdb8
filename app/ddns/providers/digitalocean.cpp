// DigitalOcean's API v2 with a personal access token ("Authorization:
// Bearer"): GET /v2/domains/ZONE/records?type=T&name=FQDN finds the record,
// PATCH .../records/ID changes its data, POST .../records creates it; each
// answers {"domain_record": {..., "data": address}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_digitalocean {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    auto records = [&](const std::string& zone) { return ProviderBase(e) + "/v2/domains/" + UrlEscape(zone) + "/records"; };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        // The API filters by type and full name itself.
        const std::string url = records(zone) + "?type=" + w.type + "&name=" + UrlEscape(host);
        return ListRecords(e, t, JsonRequest(e, t, "GET", url, {BearerHeader(e)}), {"domain_records", "data"}, w,
                           host, found, out);
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        nlohmann::json body = {{"type", w.type}, {"data", w.address}, {"ttl", e.ttl}};
        if (id.empty()) body["name"] = RelativeName(host, zone);
        nlohmann::json json;
        if (!CallJson(e, t, RecordWrite(e, t, records(zone), id, "PATCH", {BearerHeader(e)}, body), WriteStep(id), json, out))
            return false;
        held = json.is_object() ? JsonText(json.value("domain_record", nlohmann::json()), "data") : std::string();
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_digitalocean

extern const DdnsProvider kDdnsProviderDigitalOcean = {
    .word = "digitalocean",
    .name = "DigitalOcean",
    .server = "https://api.digitalocean.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "a personal access token with write scope",
               .ttl = true},
    .tokenUrl = "https://cloud.digitalocean.com/account/api/tokens",
    .note = "records are created when missing",
    .deliver = provider_digitalocean::Deliver,
};

}  // namespace zelmar
