// Porkbun's API v3: every call is a POST with {"apikey", "secretapikey"} in
// its JSON body. /dns/retrieveByNameType/ZONE/TYPE/NAME finds the record,
// /dns/editByNameType/ZONE/TYPE/NAME changes it, /dns/create/ZONE makes it.
// Answers carry "status": "SUCCESS" or "ERROR" with a "message".
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace provider_porkbun {

constexpr AnswerRow kAnswers[] = {
    {"SUCCESS", AnswerClass::Updated, "updated"},
    {"ERROR", AnswerClass::Stop, "the API refused the request"},
};

// The one call: true when the answer's status is SUCCESS.
bool Call(const DdnsEntry& e, const DdnsAttempt& t, const std::string& path, nlohmann::json body, const char* step,
          nlohmann::json& json, DeliveryResult& out) {
    body["apikey"] = e.login;
    body["secretapikey"] = e.secret;
    HttpsRequest q = ProviderRequest(e, t, "POST", ProviderBase(e) + path);
    q.headers = {"Content-Type: application/json"};
    q.body = body.dump();
    if (!CallJson(e, t, q, step, json, out)) return false;
    const std::string status = JsonText(json, "status");
    if (status == "SUCCESS") return true;
    const std::string message = JsonText(json, "message");
    out = ProviderResult(e, t, status == "ERROR" ? "ERROR" : "badjson", step, message.empty() ? json.dump() : message);
    return false;
}

std::string ByNameType(const std::string& host, const std::string& zone, const WantedRecord& w) {
    return "/" + UrlEscape(zone) + "/" + w.type + "/" + UrlEscape(RelativeName(host, zone, ""));
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        nlohmann::json json;
        if (!Call(e, t, "/dns/retrieveByNameType" + ByNameType(host, zone, w), nlohmann::json::object(),
                  "record lookup", json, out))
            return false;
        for (const nlohmann::json& r : json.value("records", nlohmann::json::array()))
            found.push_back({JsonText(r, "id"), JsonText(r, "content")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>&, DeliveryResult& out) {
        // Porkbun takes no TTL under 600 s; its answers do not repeat the record.
        nlohmann::json body = {{"content", w.address}, {"ttl", std::to_string(std::max(e.ttl, 600))}};
        if (id.empty()) {
            body["name"] = RelativeName(host, zone, "");
            body["type"] = w.type;
        }
        nlohmann::json json;
        return Call(e, t, id.empty() ? "/dns/create/" + UrlEscape(zone) : "/dns/editByNameType" + ByNameType(host, zone, w),
                    body, id.empty() ? "create" : "update", json, out);
    };
    calls.updated = "SUCCESS";
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_porkbun

extern const DdnsProvider kDdnsProviderPorkbun = {
    .word = "porkbun",
    .name = "Porkbun",
    .server = "https://api.porkbun.com/api/json/v3",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .login = "the API key (pk1_...)",
               .secret = "the secret API key (sk1_...)",
               .ttl = true,
               .needsLogin = true},
    .tokenUrl = "https://porkbun.com/account/api",
    .note = "turn on API ACCESS for the domain first; TTL at least 600 s",
    .answers = provider_porkbun::kAnswers,
    .deliver = provider_porkbun::Deliver,
};

}  // namespace zelmar
