// Vultr's API v2 with an API key ("Authorization: Bearer"): GET
// /v2/domains/ZONE/records lists {"records": [{"id", "type", "name",
// "data"}]} ("" names the zone itself), PATCH .../records/ID with {"data"}
// answers 204 without a body, POST .../records answers 201 {"record": {...}}.
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
        // Up to 500 records in one page: a home zone has far fewer.
        if (!CallJson(e, t, Request(e, t, "GET", records(zone) + "?per_page=500"), "record lookup", json, out))
            return false;
        if (!json.is_object() || !json.contains("records") || !json["records"].is_array()) {
            out = ProviderResult(e, t, "badjson", "record lookup", json.dump());
            return false;
        }
        const std::string name = RelativeName(host, zone, "");
        for (const nlohmann::json& r : json["records"])
            if (JsonText(r, "type") == w.type && JsonText(r, "name") == name)
                found.push_back({JsonText(r, "id"), JsonText(r, "data")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        nlohmann::json body = {{"data", w.address}, {"ttl", e.ttl}};
        if (id.empty()) {
            body["name"] = RelativeName(host, zone, "");
            body["type"] = w.type;
        }
        nlohmann::json json;
        const auto q = Request(e, t, id.empty() ? "POST" : "PATCH", records(zone) + (id.empty() ? "" : "/" + id), &body);
        if (!CallJson(e, t, q, id.empty() ? "create" : "update", json, out)) return false;
        if (id.empty()) held = JsonText(json.is_object() ? json.value("record", nlohmann::json()) : json, "data");
        return true;
    };
    calls.updated = "updated";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
}

}  // namespace

extern const DdnsProvider kDdnsProviderVultr = {
    .word = "vultr",
    .name = "Vultr DNS",
    .server = "https://api.vultr.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "the account's API key (with this machine's address allowed)",
               .ttl = true},
    .tokenUrl = "https://my.vultr.com/settings/#settingsapi",
    .note = "records are created when missing",
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
