// dynv6's Update API: GET /api/update?zone=NAME&token=T&ipv4=A&ipv6=AAAA,
// one request per zone (each name of the entry is a dynv6 zone). It
// answers "addresses updated" or "addresses unchanged"; a wrong token is
// HTTP 401, an unknown zone 404.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_dynv6 {

constexpr AnswerRow kAnswers[] = {
    {"addresses updated", AnswerClass::Updated, "updated"},
    {"addresses unchanged", AnswerClass::Unchanged, "already held the address"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    DeliveryResult worst;
    for (const std::string& host : e.hosts) {
        std::string url = ProviderBase(e) + "/api/update?zone=" + UrlEscape(host) + "&token=" + UrlEscape(e.secret);
        if (!want.a.empty()) url += "&ipv4=" + UrlEscape(want.a);
        if (!want.aaaa.empty()) url += "&ipv6=" + UrlEscape(want.aaaa);
        const HttpsAnswer a = SendHttps(ProviderRequest(e, t, "GET", url));
        DeliveryResult r;
        if (!TransportFailed(a, e, t, "update", r)) {
            const AnswerRow* row = AnswerStarting(e, a.body);
            r = ProviderResult(e, t, row ? row->answer : "unexpected", "update", a.body);
        }
        // Later names are not tried once one fails: the same token or
        // service would refuse them too.
        if (r.outcome == DeliveryOutcome::Failed || r.outcome == DeliveryOutcome::FailedPermanently) return r;
        if (worst.code.empty() || r.outcome == DeliveryOutcome::Delivered) worst = r;
    }
    return worst;
}

}  // namespace provider_dynv6

extern const DdnsProvider kDdnsProviderDynv6 = {
    .word = "dynv6",
    .name = "dynv6",
    .server = "https://dynv6.com",
    .fields = {.secret = "an HTTP token of the zone"},
    .tokenUrl = "https://dynv6.com/keys",
    .note = "each name is a dynv6 zone (home.dynv6.net); IPv4 and IPv6 in one request",
    .answers = provider_dynv6::kAnswers,
    .deliver = provider_dynv6::Deliver,
};

}  // namespace zelmar
