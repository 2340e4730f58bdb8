// Linode (Akamai) API v4 with a personal access token ("Authorization:
// Bearer"): GET /v4/domains finds the domain's numeric id, GET
// /v4/domains/ID/records lists {"data": [{"id", "type", "name", "target"}]},
// PUT .../records/RID and POST .../records answer with the record.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_linode {

constexpr AnswerRow kAnswers[] = {
    {"nodomain", AnswerClass::Stop, "the domain is not in this account (or the token may not see it)"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    // Every list of the API is a page: {"data": [...], "page", ...}.
    ZoneLookup domains{"data", "domain", "id", "nodomain"};
    auto records = [&](const std::string& zone, std::string& url, DeliveryResult& out) {
        const auto q = JsonRequest(e, t, "GET", ProviderBase(e) + "/v4/domains?page_size=500", {BearerHeader(e)});
        if (!domains.Find(e, t, q, zone, out)) return false;
        url = ProviderBase(e) + "/v4/domains/" + UrlEscape(domains.id) + "/records";
        return true;
    };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        std::string url;
        return records(zone, url, out) &&
               ListRecords(e, t, JsonRequest(e, t, "GET", url + "?page_size=500", {BearerHeader(e)}),
                           {"data", "target", "type", "name"}, w, RelativeName(host, zone, ""), found, out);
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
        if (!CallJson(e, t, RecordWrite(e, t, url, id, "PUT", {BearerHeader(e)}, body), WriteStep(id), json, out))
            return false;
        held = JsonText(json, "target");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_linode

extern const DdnsProvider kDdnsProviderLinode = {
    .word = "linode",
    .name = "Linode (Akamai) DNS Manager",
    .server = "https://api.linode.com",
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "a personal access token with Domains read/write",
               .ttl = true},
    .tokenUrl = "https://cloud.linode.com/profile/tokens",
    .note = "records are created when missing",
    .answers = provider_linode::kAnswers,
    .deliver = provider_linode::Deliver,
};

}  // namespace zelmar
