// NameSilo's API (www.namesilo.com/api-reference, version=1, type=json): GET
// calls with the API key in the query. dnsListRecords?domain=ZONE lists
// {"reply": {"code", "detail", "resource_record": [{"record_id", "type",
// "host" (the full name), "value"}]}}; dnsUpdateRecord (rrid, rrhost,
// rrvalue, rrttl) and dnsAddRecord (rrtype besides) change or add one.
// A reply's "code" 300 is success (301 and 302 with a warning); any other
// code is a refusal, explained in "detail".
#include "app/ddns/ddns_http.h"

#include <algorithm>

#include "app/core/text.h"

namespace zelmar {

namespace provider_namesilo {

constexpr AnswerRow kAnswers[] = {
    {"refused", AnswerClass::Stop, "the API refused the request"},
};

// One call of the API: true with reply filled when its code is a success.
bool NameSiloCall(const DdnsEntry& e, const DdnsAttempt& t, const std::string& operation, const std::string& query,
                  const char* step, nlohmann::json& reply, DeliveryResult& out) {
    const std::string url = ProviderBase(e) + "/" + operation + "?version=1&type=json&key=" + UrlEscape(e.secret) + query;
    nlohmann::json json;
    if (!CallJson(e, t, ProviderRequest(e, t, "GET", url), step, json, out)) return false;
    reply = json.is_object() ? json.value("reply", nlohmann::json()) : nlohmann::json();
    const std::string code = JsonText(reply, "code");
    if (code == "300" || code == "301" || code == "302") return true;
    out = ProviderResult(e, t, code.empty() ? "badjson" : "refused", step,
                         code.empty() ? json.dump() : code + " " + JsonText(reply, "detail"));
    return false;
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    // NameSilo takes no TTL under 3600 s.
    const std::string ttl = std::to_string(std::max(e.ttl, 3600));
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        nlohmann::json reply;
        if (!NameSiloCall(e, t, "dnsListRecords", "&domain=" + UrlEscape(zone), "record lookup", reply, out)) return false;
        // A zone with one record answers it as an object, not a list of one.
        nlohmann::json list = reply.value("resource_record", nlohmann::json::array());
        if (list.is_object()) list = nlohmann::json::array({list});
        for (const nlohmann::json& r : list)
            if (JsonText(r, "type") == w.type && EqualsNoCase(JsonText(r, "host"), host))
                found.push_back({JsonText(r, "record_id"), JsonText(r, "value")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>&, DeliveryResult& out) {
        std::string query = "&domain=" + UrlEscape(zone) + "&rrhost=" + UrlEscape(RelativeName(host, zone, "")) +
                            "&rrvalue=" + UrlEscape(w.address) + "&rrttl=" + ttl;
        query += id.empty() ? std::string("&rrtype=") + w.type : "&rrid=" + UrlEscape(id);
        nlohmann::json reply;
        return NameSiloCall(e, t, id.empty() ? "dnsAddRecord" : "dnsUpdateRecord", query, WriteStep(id), reply, out);
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_namesilo

extern const DdnsProvider kDdnsProviderNameSilo = {
    .word = "namesilo",
    .name = "NameSilo",
    .server = "https://www.namesilo.com/api",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "the account's API key",
               .ttl = true},
    .tokenUrl = "https://www.namesilo.com/account/api-manager",
    .note = "records are created when missing; TTL at least 3600 s",
    .answers = provider_namesilo::kAnswers,
    .deliver = provider_namesilo::Deliver,
};

}  // namespace zelmar
