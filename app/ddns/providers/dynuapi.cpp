// Dynu's API v2 (www.dynu.com/Support/API) with an API key in "API-Key":
// GET /dns lists the account's names as {"domains": [{"id", "name",
// "ipv4Address", "ipv6Address"}]}, POST /dns/ID with {"name",
// "ipv4Address", "ipv6Address"} changes one, answering {"statusCode": 200}.
// The dyndns2 interface of the same service is the "dynu" preset.
#include "app/ddns/ddns_http.h"

#include "app/core/text.h"

namespace zelmar {

namespace provider_dynuapi {

constexpr AnswerRow kAnswers[] = {
    {"nohost", AnswerClass::Stop, "the name is not one of this account's Dynu names"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const std::vector<std::string> auth = {"API-Key: " + e.secret, "Accept: application/json"};
    nlohmann::json domains;
    DeliveryResult out;
    if (!JsonList(e, t, JsonRequest(e, t, "GET", ProviderBase(e) + "/dns", auth), "record lookup", "domains", true,
                  domains, out))
        return out;
    bool changed = false;
    for (const std::string& host : e.hosts) {
        const nlohmann::json* found = nullptr;
        for (const nlohmann::json& d : domains)
            if (EqualsNoCase(JsonText(d, "name"), host)) found = &d;
        if (!found) return ProviderResult(e, t, "nohost", "record lookup", "no name \"" + host + "\"");
        const bool sameA = want.a.empty() || SameAddress(JsonText(*found, "ipv4Address"), want.a);
        const bool sameAAAA = want.aaaa.empty() || SameAddress(JsonText(*found, "ipv6Address"), want.aaaa);
        if (sameA && sameAAAA) continue;
        nlohmann::json body = {{"name", JsonText(*found, "name")}};
        if (!want.a.empty()) body.update({{"ipv4Address", want.a}, {"ipv4", true}});
        if (!want.aaaa.empty()) body.update({{"ipv6Address", want.aaaa}, {"ipv6", true}});
        nlohmann::json json;
        const auto q = JsonRequest(e, t, "POST", ProviderBase(e) + "/dns/" + UrlEscape(JsonText(*found, "id")), auth, &body);
        if (!CallJson(e, t, q, "update", json, out)) return out;
        if (JsonText(json, "statusCode") != "200") return ProviderResult(e, t, "unexpected", "update", json.dump());
        changed = true;
    }
    return ProviderResult(e, t, changed ? "updated" : "unchanged", changed ? "update" : "record lookup", "");
}

}  // namespace provider_dynuapi

extern const DdnsProvider kDdnsProviderDynuApi = {
    .word = "dynuapi",
    .name = "Dynu (API v2)",
    .server = "https://api.dynu.com/v2",
    .fields = {.secret = "the account's API key"},
    .tokenUrl = "https://www.dynu.com/en-US/ControlPanel/APICredentials",
    .note = "for the account's own names (home.dynu.net, or a domain added to it)",
    .answers = provider_dynuapi::kAnswers,
    .deliver = provider_dynuapi::Deliver,
};

}  // namespace zelmar
