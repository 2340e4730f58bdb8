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

HttpsRequest Request(const DdnsEntry& e, const DdnsAttempt& t, const char* method, const std::string& url,
                     const nlohmann::json* body = nullptr) {
    HttpsRequest q = ProviderRequest(e, t, method, url);
    q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
    if (body) q.body = body->dump();
    return q;
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    auto records = [&](const std::string& zone) { return ProviderBase(e) + "/v2/domains/" + UrlEscape(zone) + "/records"; };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        nlohmann::json json;
        const std::string url = records(zone) + "?type=" + w.type + "&name=" + UrlEscape(host);
        if (!CallJson(e, t, Request(e, t, "GET", url), "record lookup", json, out)) return false;
        if (!json.is_object() || !json.contains("domain_records") || !json["domain_records"].is_array()) {
            out = ProviderResult(e, t, "badjson", "record lookup", json.dump());
            return false;
        }
        for (const nlohmann::json& r : json["domain_records"]) found.push_back({JsonText(r, "id"), JsonText(r, "data")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        nlohmann::json body = {{"type", w.type}, {"data", w.address}, {"ttl", e.ttl}};
        if (id.empty()) body["name"] = RelativeName(host, zone);
        nlohmann::json json;
        const auto q = Request(e, t, id.empty() ? "POST" : "PATCH", records(zone) + (id.empty() ? "" : "/" + id), &body);
        if (!CallJson(e, t, q, id.empty() ? "create" : "update", json, out)) return false;
        held = json.is_object() ? JsonText(json.value("domain_record", nlohmann::json()), "data") : std::string();
        return true;
    };
    calls.updated = "updated";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
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
