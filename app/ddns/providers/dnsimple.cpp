// DNSimple's API v2 with an account token ("Authorization: Bearer"): GET
// /v2/whoami names the account, GET /v2/ACCOUNT/zones/ZONE/records?name=N&type=T
// lists {"data": [{"id", "content"}]} ("" names the zone itself), PATCH
// .../records/ID and POST .../records answer {"data": {..., "content"}}.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_dnsimple {

constexpr AnswerRow kAnswers[] = {
    {"noaccount", AnswerClass::Stop, "the token is a user token: DNSimple needs an account token"},
};

std::vector<std::string> Headers(const DdnsEntry& e) { return {BearerHeader(e), "Accept: application/json"}; }

// The answer's "data", which every call of the API wraps its result in.
nlohmann::json Data(const nlohmann::json& json) {
    return json.is_object() && json.contains("data") ? json["data"] : nlohmann::json();
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    std::string account;
    auto records = [&](const std::string& zone, std::string& url, DeliveryResult& out) {
        if (account.empty()) {
            nlohmann::json json;
            if (!CallJson(e, t, JsonRequest(e, t, "GET", ProviderBase(e) + "/v2/whoami", Headers(e)), "account lookup",
                          json, out))
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
        if (!records(zone, url, out)) return false;
        const std::string name = RelativeName(host, zone, "");
        url += "?name=" + UrlEscape(name) + "&type=" + w.type;
        return ListRecords(e, t, JsonRequest(e, t, "GET", url, Headers(e)), {"data", "content"}, w, name, found, out);
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
        if (!CallJson(e, t, RecordWrite(e, t, url, id, "PATCH", Headers(e), body), WriteStep(id), json, out))
            return false;
        held = JsonText(Data(json), "content");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_dnsimple

extern const DdnsProvider kDdnsProviderDnsimple = {
    .word = "dnsimple",
    .name = "DNSimple",
    .server = "https://api.dnsimple.com",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .secret = "an account access token",
               .ttl = true},
    // Account tokens are made on the account's page, not the user's (whose
    // tokens the API answers without an account).
    .tokenUrl = "https://support.dnsimple.com/articles/api-access-token/",
    .note = "records are created when missing",
    .answers = provider_dnsimple::kAnswers,
    .deliver = provider_dnsimple::Deliver,
};

}  // namespace zelmar
