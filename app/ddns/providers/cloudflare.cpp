// The Cloudflare API v4 with an API token ("Authorization: Bearer"): the
// zone is looked up by name, each name's A/AAAA record by type and name,
// then created (POST) or changed (PATCH) when it does not hold the address.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_cloudflare {

using A = AnswerClass;

// The API answers with JSON; its HTTP statuses carry the decision
// (DdnsHttpStatusClass). These rows name the steps' own findings.
constexpr AnswerRow kAnswers[] = {
    {"success", A::Updated, "updated"},
    {"unchanged", A::Unchanged, "already held the address"},
    {"nozone", A::Stop, "the zone is not in this account (or the token may not see it)"},
    {"failure", A::Stop, "the API refused the request"},
};

struct Api {
    const DdnsEntry& e;
    const DdnsAttempt& t;

    HttpsAnswer Call(const std::string& method, const std::string& path, const nlohmann::json* body = nullptr) const {
        HttpsRequest q = ProviderRequest(e, t, method, ProviderBase(e) + path);
        q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
        if (body) q.body = body->dump();
        return SendHttps(q);
    }

    // The answer's JSON when the call worked (HTTP 2xx, "success": true and
    // no errors); otherwise out holds the result that ends the attempt.
    bool Parse(const HttpsAnswer& a, const char* step, nlohmann::json& json, DeliveryResult& out) const {
        if (TransportFailed(a, e, t, step, out)) {
            // A refusal is explained in the JSON's errors: show that rather
            // than the raw body.
            if (const std::string message = JsonErrorMessage(a.body); !message.empty())
                out.serverReply = MaskReply(message, e.secret);
            return false;
        }
        json = ParseJson(a.body);
        if (json.is_discarded() || !json.is_object() || !json.contains("success") || !json["success"].is_boolean()) {
            out = ProviderResult(e, t, "badjson", step, a.body);
            return false;
        }
        // "success": true beside a list of errors is no success.
        const bool errors = json.contains("errors") && json["errors"].is_array() && !json["errors"].empty();
        if (!json["success"].get<bool>() || errors) {
            out = ProviderResult(e, t, "failure", step, json.value("errors", nlohmann::json()).dump());
            return false;
        }
        if (!json.contains("result")) {
            out = DdnsResult(A::Retry, "badjson", step, "no \"result\" in the answer", t.failures, t.now);
            return false;
        }
        return true;
    }
};

}  // namespace provider_cloudflare

DeliveryResult CloudflareDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const provider_cloudflare::Api api{e, t};
    // The zone's id, looked up by name once per zone.
    std::string zoneId, idOfZone;
    auto records = [&](const std::string& zone, std::string& path, DeliveryResult& out) {
        if (idOfZone != zone) {
            nlohmann::json json;
            if (!api.Parse(api.Call("GET", "/zones?name=" + UrlEscape(zone)), "zone lookup", json, out)) return false;
            const nlohmann::json& zones = json["result"];
            zoneId = zones.is_array() && !zones.empty() ? JsonText(zones[0], "id") : std::string();
            if (zoneId.empty()) {
                out = DdnsResult(provider_cloudflare::A::Stop, "nozone", "zone lookup", "no zone \"" + zone + "\"", t.failures, t.now);
                return false;
            }
            idOfZone = zone;
        }
        path = "/zones/" + UrlEscape(zoneId) + "/dns_records";
        return true;
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        std::string path;
        nlohmann::json json;
        if (!records(zone, path, out) ||
            !api.Parse(api.Call("GET", path + "?type=" + w.type + "&name=" + UrlEscape(host)), "record lookup", json,
                       out))
            return false;
        if (json["result"].is_array())
            for (const nlohmann::json& r : json["result"]) found.push_back({JsonText(r, "id"), JsonText(r, "content")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        std::string path;
        if (!records(zone, path, out)) return false;
        nlohmann::json body = {{"type", w.type}, {"name", host}, {"content", w.address}, {"ttl", e.ttl}};
        if (id.empty()) body["proxied"] = false;
        nlohmann::json json;
        if (!api.Parse(api.Call(id.empty() ? "POST" : "PATCH", id.empty() ? path : path + "/" + UrlEscape(id), &body),
                       id.empty() ? "create" : "update", json, out))
            return false;
        // The record as the API now holds it must carry the address.
        held = JsonText(json["result"], "content");
        return true;
    };
    calls.updated = "success";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
}

extern const DdnsProvider kDdnsProviderCloudflare = {
    .word = "cloudflare",
    .name = "Cloudflare",
    .server = "https://api.cloudflare.com/client/v4",
    .fields = {.zone = "the zone (the names' last two labels when empty)",
               .secret = "an API token allowed Zone.DNS edit for the zone",
               .ttl = true},
    .tokenUrl = "https://dash.cloudflare.com/profile/api-tokens",
    .note = "records are created when missing, never proxied",
    .answers = provider_cloudflare::kAnswers,
    .deliver = CloudflareDeliver,
};

}  // namespace zelmar
