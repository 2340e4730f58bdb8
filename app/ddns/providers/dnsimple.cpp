// DNSimple's API v2 with an account token ("Authorization: Bearer"): GET
// /v2/whoami names the account, GET /v2/ACCOUNT/zones/ZONE/records?name=N&type=T
// lists {"data": [{"id", "content"}]} ("" names the zone itself), PATCH
// .../records/ID and POST .../records answer {"data": {..., "content"}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace {

constexpr AnswerRow kAnswers[] = {
    {"updated", AnswerClass::Updated, "updated"},
    {"unchanged", AnswerClass::Unchanged, "already held the address"},
    {"noaccount", AnswerClass::Stop, "the token is a user token: DNSimple needs an account token"},
};

HttpsRequest Request(const DdnsEntry& e, const DdnsAttempt& t, const char* method, const std::string& url,
                     const nlohmann::json* body = nullptr) {
    HttpsRequest q = ProviderRequest(e, t, method, url);
    q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json", "Accept: application/json"};
    if (body) q.body = body->dump();
    return q;
}

// The answer's "data", which every call of the API wraps its result in.
nlohmann::json Data(const nlohmann::json& json) {
    return json.is_object() && json.contains("data") ? json["data"] : nlohmann::json();
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    std::string account;
    auto records = [&](const std::string& zone, std::string& url, DeliveryResult& out) {
        if (account.empty()) {
            nlohmann::json json;
            if (!CallJson(e, t, Request(e, t, "GET", ProviderBase(e) + "/v2/whoami"), "account lookup", json, out))
                return false;
            account = JsonText(Data(json).value("account", nlohmann::json()), "id");
            if (account.empty()) {
                out = ProviderResult(e, t, "noaccount", "account lookup", json.dump());
                return false;
            }
        }
        url = ProviderBase(e) + "/v2/" + UrlEscape(account) + "/zones/" + UrlEscape(zone) + "/records";
        return true;
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        std::string url;
        nlohmann::json json;
        if (!records(zone, url, out)) return false;
        url += "?name=" + UrlEscape(RelativeName(host, zone, "")) + "&type=" + w.type;
        if (!CallJson(e, t, Request(e, t, "GET", url), "record lookup", json, out)) return false;
        if (!Data(json).is_array()) {
            out = ProviderResult(e, t, "badjson", "record lookup", json.dump());
            return false;
        }
        for (const nlohmann::json& r : Data(json)) found.push_back({JsonText(r, "id"), JsonText(r, "content")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        std::string url;
        if (!records(zone, url, out)) return false;
        nlohmann::json body = {{"content", w.address}, {"ttl", e.ttl}};
        if (id.empty()) {
            body["name"] = RelativeName(host, zone, "");
            body["type"] = w.type;
        }
        nlohmann::json json;
        if (!CallJson(e, t, Request(e, t, id.empty() ? "POST" : "PATCH", url + (id.empty() ? "" : "/" + id), &body),
                      id.empty() ? "create" : "update", json, out))
            return false;
        held = JsonText(Data(json), "content");
        return true;
    };
    calls.updated = "updated";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
}

}  // namespace

extern const DdnsProvider kDdnsProviderDnsimple = {
    .word = "dnsimple",
    .name = "DNSimple",
    .server = "https://api.dnsimple.com",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .secret = "an account access token",
               .ttl = true},
    .tokenUrl = "https://dnsimple.com/user",
    .note = "records are created when missing",
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
