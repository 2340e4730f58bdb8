// Name.com's API v4 with HTTP Basic (the user name and an API token): GET
// /v4/domains/ZONE/records lists {"records": [{"id", "host", "type",
// "answer"}]} ("" names the zone itself), PUT .../records/ID and POST
// .../records answer with the record.
#include "app/ddns/ddns_http.h"

#include <algorithm>

namespace zelmar {

namespace provider_namecom {

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    auto records = [&](const std::string& zone) { return ProviderBase(e) + "/v4/domains/" + UrlEscape(zone) + "/records"; };
    RecordCalls calls;
    calls.find = [&](const std::string& host, const std::string& zone, const WantedRecord& w,
                     std::vector<FoundRecord>& found, DeliveryResult& out) {
        // A zone without records answers {} rather than an empty list.
        RecordShape shape{"records", "answer", "type", "host"};
        shape.missingIsEmpty = true;
        return ListRecords(e, t, WithLogin(e, JsonRequest(e, t, "GET", records(zone) + "?perPage=1000", {})), shape,
                           w, RelativeName(host, zone, ""), found, out);
    };
    calls.write = [&](const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                      std::optional<std::string>& held, DeliveryResult& out) {
        // The API refuses a TTL under 300 s.
        const nlohmann::json body = {
            {"host", RelativeName(host, zone, "")}, {"type", w.type}, {"answer", w.address}, {"ttl", std::max(e.ttl, 300)}};
        nlohmann::json json;
        if (!CallJson(e, t, WithLogin(e, RecordWrite(e, t, records(zone), id, "PUT", {}, body)), WriteStep(id), json, out))
            return false;
        held = JsonText(json, "answer");
        return true;
    };
    return SyncRecords(e, want, t, calls);
}

}  // namespace provider_namecom

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
    .deliver = provider_namecom::Deliver,
};

}  // namespace zelmar
