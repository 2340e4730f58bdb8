// DuckDNS: GET /update with the names (without ".duckdns.org"), the
// account's token and the addresses; the answer is "OK" or "KO".
#include "app/ddns/ddns_http.h"

#include "app/core/text.h"

namespace zelmar {

namespace provider_duckdns {

// "KO" is a wrong token or a domain that is not the account's.
constexpr AnswerRow kAnswers[] = {
    {"OK", AnswerClass::Updated, "updated"},
    {"KO", AnswerClass::Stop, "the token or the domain was refused"},
};

}  // namespace provider_duckdns

DeliveryResult DuckDnsDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    // DuckDNS takes the names without its own domain.
    std::vector<std::string> names;
    const std::string suffix = ".duckdns.org";
    for (std::string h : e.hosts) {
        if (!h.empty() && h.back() == '.') h.pop_back();
        if (h.size() > suffix.size() && EqualsNoCase(h.substr(h.size() - suffix.size()), suffix))
            h.resize(h.size() - suffix.size());
        names.push_back(h);
    }
    std::string url = ProviderBase(e) + "/update?domains=" + UrlEscapeList(names) + "&token=" + UrlEscape(e.secret) +
                      "&ip=" + UrlEscape(want.a);
    if (!want.aaaa.empty()) url += "&ipv6=" + UrlEscape(want.aaaa);
    const HttpsAnswer a = SendHttps(ProviderRequest(e, t, "GET", url));
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) return out;
    // "OK" or "KO", with verbose=true followed by more lines.
    const AnswerRow* row = FindDdnsAnswer(e.protocol, a.body.substr(0, a.body.find_first_of(" \t\r\n")));
    return ProviderResult(e, t, row ? row->answer : "unexpected", "update", a.body);
}

extern const DdnsProvider kDdnsProviderDuckDns = {
    .word = "duckdns",
    .name = "Duck DNS",
    .server = "https://www.duckdns.org",
    .fields = {.secret = "the account's token"},
    .tokenUrl = "https://www.duckdns.org/",
    .note = "free names under duckdns.org",
    .answers = provider_duckdns::kAnswers,
    .deliver = DuckDnsDeliver,
};

}  // namespace zelmar
