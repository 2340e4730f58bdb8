// Name.com's API v4 with HTTP Basic (the user name and an API token): GET
// /v4/domains/ZONE/records lists {"records": [{"id", "host", "type",
// "answer"}]} ("" names the zone itself), PUT .../records/ID and POST
// .../records answer with the record.
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
    q.user = e.login;
    q.password = e.secret;
    q.headers = {"Content-Type: application/json"};
    if (body) q.body = body->dump();
    return q;
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    auto records = [&](const std::string& zone) { return ProviderBase(e) + "/v4/domains/" + UrlEscape(zone) + "/records"; };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        nlohmann::json json;
        if (!CallJson(e, t, Request(e, t, "GET", records(zone) + "?perPage=1000"), "record lookup", json, out))
            return false;
        if (!json.is_object()) {
            out = ProviderResult(e, t, "badjson", "record lookup", json.dump());
            return false;
        }
        const std::string name = RelativeName(host, zone, "");
        // A zone without records answers {} rather than an empty list.
        for (const nlohmann::json& r : json.value("records", nlohmann::json::array()))
            if (JsonText(r, "type") == w.type && JsonText(r, "host") == name)
                found.push_back({JsonText(r, "id"), JsonText(r, "answer")});
        return true;
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        const nlohmann::json body = {
            {"host", RelativeName(host, zone, "")}, {"type", w.type}, {"answer", w.address}, {"ttl", e.ttl}};
        nlohmann::json json;
        if (!CallJson(e, t, Request(e, t, id.empty() ? "POST" : "PUT", records(zone) + (id.empty() ? "" : "/" + id), &body),
                      id.empty() ? "create" : "update", json, out))
            return false;
        held = JsonText(json, "answer");
        return true;
    };
    calls.updated = "updated";
    calls.unchanged = "unchanged";
    return SyncRecords(e, want, t, calls);
}

}  // namespace

extern const DdnsProvider kDdnsProviderNameCom = {
    .word = "namecom",
    .name = "Name.com",
    .server = "https://api.name.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .login = "the account's user name",
               .secret = "an API token of the account",
               .ttl = true,
               .needsLogin = true},
    .tokenUrl = "https://www.name.com/account/settings/api",
    .note = "records are created when missing; TTL at least 300 s",
    .answers = kAnswers,
    .deliver = Deliver,
};

}  // namespace zelmar
