// FreeDNS (afraid.org), its token interface (version 2): GET /u/TOKEN/
// ?address=A for the one record the token belongs to. The answer is a
// sentence: "Updated 1 host(s) NAME to A in 0.1 seconds", "No IP change
// detected for NAME with IP A, skipping update", or "ERROR: ...".
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_freedns {

constexpr AnswerRow kAnswers[] = {
    {"Updated", AnswerClass::Updated, "updated"},
    {"No IP change detected", AnswerClass::Unchanged, "already held the address"},
    {"ERROR", AnswerClass::Stop, "the token was refused or its record is gone"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const std::string& address = want.a.empty() ? want.aaaa : want.a;
    const HttpsAnswer a = SendHttps(ProviderRequest(
        e, t, "GET", ProviderBase(e) + "/u/" + UrlEscape(e.secret) + "/?address=" + UrlEscape(address)));
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) return out;
    const AnswerRow* row = AnswerStarting(e, a.body);
    if (!row) return ProviderResult(e, t, "unexpected", "update", a.body);
    if (row->action != AnswerClass::Stop && NamesOtherAddress(a.body, want))
        return ProviderResult(e, t, "otheraddress", "update", a.body);
    return ProviderResult(e, t, row->answer, "update", a.body);
}

// A token stands for one record of one type.
void Check(const DdnsEntry& e, std::vector<std::string>& problems) {
    if (e.wantA && e.wantAAAA) problems.push_back("a FreeDNS token updates one record: choose A or AAAA");
    if (e.hosts.size() > 1) problems.push_back("a FreeDNS token updates one name: make one entry per name");
}

}  // namespace provider_freedns

extern const DdnsProvider kDdnsProviderFreeDns = {
    .word = "freedns",
    .name = "FreeDNS (afraid.org)",
    .server = "https://sync.afraid.org",
    .fields = {.server = "https://v6.sync.afraid.org for an AAAA record",
               .secret = "the record's update token (the part after /u/ of its update URL)"},
    .tokenUrl = "https://freedns.afraid.org/dynamic/v2/",
    .note = "one entry per record; Host names it for the status line",
    .answers = provider_freedns::kAnswers,
    .deliver = provider_freedns::Deliver,
    .check = provider_freedns::Check,
};

}  // namespace zelmar
