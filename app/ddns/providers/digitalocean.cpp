// DigitalOcean's API v2 with a personal access token ("Authorization:
// Bearer"): GET /v2/domains/ZONE/records?type=T&name=FQDN finds the record,
// PATCH .../records/ID changes its data, POST .../records creates it; each
// answers {"domain_record": {..., "data": address}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace {

constexpr AnswerRow kAnswers[] = {
    {"updated", AnswerClass::Updated, "updated"},
    {"unchanged", AnswerClass::Unchanged, "already held the address"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    bool changed = false;
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string records = ProviderBase(e) + "/v2/domains/" + UrlEscape(zone) + "/records";
        auto request = [&](const char* method, const std::string& url, const nlohmann::json* body) {
            HttpsRequest q = ProviderRequest(e, t, method, url);
            q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
            if (body) q.body = body->dump();
            return q;
        };
        for (const WantedRecord& w : WantedRecords(want)) {
            nlohmann::json json;
            DeliveryResult out;
            if (!CallJson(e, t, request("GET", records + "?type=" + w.type + "&name=" + UrlEscape(host), nullptr),
                          "record lookup", json, out))
                return out;
            if (!json.is_object() || !json.contains("domain_records") || !json["domain_records"].is_array())
                return ProviderResult(e, t, "badjson", "record lookup", json.dump());
            const nlohmann::json& found = json["domain_records"];
            std::string id;
            if (!found.empty()) {
                id = JsonText(found[0], "id");
                if (found.size() == 1 && SameAddress(JsonText(found[0], "data"), w.address)) continue;
            }
            nlohmann::json body = {{"type", w.type}, {"data", w.address}, {"ttl", e.ttl}};
            const char* step = id.empty() ? "create" : "update";
            if (id.empty()) body["name"] = RelativeName(host, zone);
            if (!CallJson(e, t, request(id.empty() ? "POST" : "PATCH", id.empty() ? records : records + "/" + id, &body),
                          step, json, out))
                return out;
            const std::string data = json.is_object() ? JsonText(json.value("domain_record", nlohmann::json()), "data")
                                                      : std::string();
            if (!SameAddress(data, w.address))
                return ProviderResult(e, t, "otheraddress", step, "the record holds \"" + data + "\"");
            changed = true;
        }
    }
    return ProviderResult(e, t, changed ? "updated" : "unchanged", changed ? "update" : "record lookup", "");
}

}  // namespace

extern const DdnsProvider kDdnsProviderDigitalOcean = {
    .word = "digitalocean",
    .name = "DigitalOcean",
    .server = "https://api.digitalocean.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "a personal access token with write scope",
               .ttl = true},
    .tokenUrl = "https://cloud.digitalocean.com/account/api/tokens",
    .note = "records are created when missing",
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
