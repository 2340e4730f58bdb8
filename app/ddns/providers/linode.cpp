// Linode (Akamai) API v4 with a personal access token ("Authorization:
// Bearer"): GET /v4/domains finds the domain's numeric id, GET
// /v4/domains/ID/records lists {"data": [{"id", "type", "name", "target"}]},
// PUT .../records/RID and POST .../records answer with the record.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace {

constexpr AnswerRow kAnswers[] = {
    {"updated", AnswerClass::Updated, "updated"},
    {"unchanged", AnswerClass::Unchanged, "already held the address"},
    {"nodomain", AnswerClass::Stop, "the domain is not in this account (or the token may not see it)"},
};

HttpsRequest Request(const DdnsEntry& e, const DdnsAttempt& t, const char* method, const std::string& url,
                     const nlohmann::json* body = nullptr) {
    HttpsRequest q = ProviderRequest(e, t, method, url);
    q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
    if (body) q.body = body->dump();
    return q;
}

// The "data" list of a paged answer; false with out set when there is none.
bool Page(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const char* step, nlohmann::json& data,
          DeliveryResult& out) {
    nlohmann::json json;
    if (!CallJson(e, t, q, step, json, out)) return false;
    if (!json.is_object() || !json.contains("data") || !json["data"].is_array()) {
        out = ProviderResult(e, t, "badjson", step, json.dump());
        return false;
    }
    data = json["data"];
    return true;
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    std::string domainId, idOfZone;
    auto records = [&](const std::string& zone, std::string& url, DeliveryResult& out) {
        if (idOfZone != zone) {
            nlohmann::json domains;
            if (!Page(e, t, Request(e, t, "GET", ProviderBase(e) + "/v4/domains?page_size=500"), "domain lookup",
                      domains, out))
                return false;
            domainId.clear();
            for (const nlohmann::json& d : domains)
                if (JsonText(d, "domain") == zone) domainId = JsonText(d, "id");
            if (domainId.empty()) {
                out = ProviderResult(e, t, "nodomain", "domain lookup", "no domain \"" + zone + "\"");
                return false;
            }
            idOfZone = zone;
        }
        url = ProviderBase(e) + "/v4/domains/" + UrlEscape(domainId) + "/records";
        return true;
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        std::string url;
        nlohmann::json data;
        if (!records(zone, url, out) || !Page(e, t, Request(e, t, "GET", url + "?page_size=500"), "record lookup", data, out))
            return false;
        const std::string name = RelativeName(host, zone, "");
        for (const nlohmann::json& r : data)
            if (JsonText(r, "type") == w.type && JsonText(r, "name") == name)
                found.push_back({JsonText(r, "id"), JsonText(r, "target")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        std::string url;
        if (!records(zone, url, out)) return false;
        nlohmann::json body = {{"target", w.address}, {"ttl_sec", e.ttl}};
        if (id.empty()) {
            body["name"] = RelativeName(host, zone, "");
            body["type"] = w.type;
        }
        nlohmann::json json;
        if (!CallJson(e, t, Request(e, t, id.empty() ? "POST" : "PUT", url + (id.empty() ? "" : "/" + id), &body),
                      id.empty() ? "create" : "update", json, out))
            return false;
        held = JsonText(json, "target");
        return true;
    };
    calls.updated = "updated";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
}

}  // namespace

extern const DdnsProvider kDdnsProviderLinode = {
    .word = "linode",
    .name = "Linode (Akamai) DNS Manager",
    .server = "https://api.linode.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "a personal access token with Domains read/write",
               .ttl = true},
    .tokenUrl = "https://cloud.linode.com/profile/tokens",
    .note = "records are created when missing",
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
