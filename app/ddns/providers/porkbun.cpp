// Porkbun's API v3: every call is a POST with {"apikey", "secretapikey"} in
// its JSON body. /dns/retrieveByNameType/ZONE/TYPE/NAME finds the record,
// /dns/editByNameType/ZONE/TYPE/NAME changes it, /dns/create/ZONE makes it.
// Answers carry "status": "SUCCESS" or "ERROR" with a "message".
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace {

constexpr AnswerRow kAnswers[] = {
    {"SUCCESS", AnswerClass::Updated, "updated"},
    {"unchanged", AnswerClass::Unchanged, "already held the address"},
    {"ERROR", AnswerClass::Stop, "the API refused the request"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    bool changed = false;
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string name = RelativeName(host, zone, "");
        // The one call: true when the answer's status is SUCCESS.
        auto call = [&](const std::string& path, nlohmann::json body, const char* step, nlohmann::json& json,
                        DeliveryResult& out) {
            body["apikey"] = e.login;
            body["secretapikey"] = e.secret;
            HttpsRequest q = ProviderRequest(e, t, "POST", ProviderBase(e) + path);
            q.headers = {"Content-Type: application/json"};
            q.body = body.dump();
            if (!CallJson(e, t, q, step, json, out)) return false;
            if (JsonText(json, "status") == "SUCCESS") return true;
            out = ProviderResult(e, t, JsonText(json, "status") == "ERROR" ? "ERROR" : "badjson", step,
                                 JsonText(json, "message").empty() ? json.dump() : JsonText(json, "message"));
            return false;
        };
        for (const WantedRecord& w : WantedRecords(want)) {
            const std::string byNameType = "/" + UrlEscape(zone) + "/" + w.type + "/" + UrlEscape(name);
            nlohmann::json json;
            DeliveryResult out;
            if (!call("/dns/retrieveByNameType" + byNameType, nlohmann::json::object(), "record lookup", json, out))
                return out;
            const nlohmann::json found = json.value("records", nlohmann::json::array());
            if (found.is_array() && found.size() == 1 && SameAddress(JsonText(found[0], "content"), w.address))
                continue;
            // Porkbun takes no TTL under 600 s.
            nlohmann::json body = {{"content", w.address}, {"ttl", std::to_string(std::max(e.ttl, 600))}};
            const bool create = !found.is_array() || found.empty();
            if (create) {
                body["name"] = name;
                body["type"] = w.type;
            }
            if (!call(create ? "/dns/create/" + UrlEscape(zone) : "/dns/editByNameType" + byNameType, body,
                      create ? "create" : "update", json, out))
                return out;
            changed = true;
        }
    }
    return ProviderResult(e, t, changed ? "SUCCESS" : "unchanged", changed ? "update" : "record lookup", "");
}

}  // namespace

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
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
