// Namecheap's Dynamic DNS: GET /update?host=NAME&domain=ZONE&password=P&ip=A
// with the domain's Dynamic DNS password (IPv4 only). The answer is a short
// XML document: <ErrCount>0</ErrCount> and <IP> on success, <Err1> with the
// reason otherwise.
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_namecheap {

constexpr AnswerRow kAnswers[] = {
    {"done", AnswerClass::Updated, "updated"},
    {"error", AnswerClass::Stop, "the provider refused the update"},
};

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        const std::string url = ProviderBase(e) + "/update?host=" + UrlEscape(RelativeName(host, zone)) +
                                "&domain=" + UrlEscape(zone) + "&password=" + UrlEscape(e.secret) +
                                "&ip=" + UrlEscape(want.a);
        const HttpsAnswer a = SendHttps(ProviderRequest(e, t, "GET", url));
        DeliveryResult out;
        if (TransportFailed(a, e, t, "update", out)) return out;
        const std::string count = XmlTagText(a.body, "ErrCount");
        if (count.empty()) return ProviderResult(e, t, "unexpected", "update", a.body);
        if (count != "0") return ProviderResult(e, t, "error", "update", XmlTagText(a.body, "Err1"));
        if (!SameAddress(XmlTagText(a.body, "IP"), want.a))
            return ProviderResult(e, t, "otheraddress", "update", "<IP>" + XmlTagText(a.body, "IP") + "</IP>");
    }
    return ProviderResult(e, t, "done", "update", "");
}

void Check(const DdnsEntry& e, std::vector<std::string>& problems) {
    if (e.wantAAAA && !e.wantA) problems.push_back("Namecheap's Dynamic DNS updates A records only");
}

}  // namespace provider_namecheap

extern const DdnsProvider kDdnsProviderNamecheap = {
    .word = "namecheap",
    .name = "Namecheap Dynamic DNS",
    .server = "https://dynamicdns.park-your-domain.com",
    .secretKind = DdnsSecretKind::Password,
    .fields = {.zone = "the domain (the names' last two labels when empty)",
               .secret = "the domain's Dynamic DNS password (Advanced DNS page)"},
    .tokenUrl = "https://ap.www.namecheap.com/domains/list/",
    .note = "IPv4 only; turn on Dynamic DNS for the domain first",
    .answers = provider_namecheap::kAnswers,
    .deliver = provider_namecheap::Deliver,
    .check = provider_namecheap::Check,
};

}  // namespace zelmar
