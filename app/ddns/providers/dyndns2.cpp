// The dyndns2 ("Members NIC Update") protocol: GET /nic/update with the
// names and the address, HTTP Basic login, one answer line per name. Many
// services speak it under their own server (dyndns2_presets.cpp).
#include "app/ddns/ddns_http.h"

namespace zelmar {

namespace provider_dyndns2 {

using A = AnswerClass;

// The return codes as the protocol's documentation lists them; the first
// word of each answer line.
constexpr AnswerRow kAnswers[] = {
    {"good", A::Updated, "updated"},
    {"nochg", A::Unchanged, "already held the address"},
    {"badauth", A::Stop, "the login or password was refused"},
    {"!donator", A::Stop, "the account may not use this feature"},
    {"notfqdn", A::Stop, "the host name is not a fully-qualified domain name"},
    {"nohost", A::Stop, "the host name does not exist in this account"},
    {"numhost", A::Stop, "too many hosts in one update"},
    {"abuse", A::Stop, "the host name is blocked for abuse"},
    {"badagent", A::Stop, "the provider refuses this client"},
    {"!yours", A::Stop, "the host name belongs to another account"},
    {"dnserr", A::Retry, "the provider's DNS failed"},
    {"911", A::Retry, "the provider is down for maintenance"},
};

}  // namespace provider_dyndns2

DeliveryResult Dyndns2Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    std::string myip = want.a;
    if (!want.aaaa.empty()) myip += (myip.empty() ? "" : ",") + want.aaaa;
    HttpsRequest q = ProviderRequest(
        e, t, "GET", ProviderBase(e) + "/nic/update?hostname=" + UrlEscapeList(e.hosts) + "&myip=" + UrlEscape(myip));
    q.user = e.login;
    q.password = e.secret;
    const HttpsAnswer a = SendHttps(q);
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) return out;

    // One line per name, in the order asked: "good 192.0.2.7", "nochg ...".
    const AnswerRow* worst = nullptr;
    std::string worstWord, worstLine;
    std::size_t start = 0;
    std::size_t lines = 0;
    while (start < a.body.size()) {
        std::size_t end = a.body.find('\n', start);
        if (end == std::string::npos) end = a.body.size();
        std::string line = a.body.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ++lines;
        std::string word = line.substr(0, line.find(' '));
        const AnswerRow* row = FindDdnsAnswer(e.protocol, word);
        if (!row) word = "unexpected";
        // "good 192.0.2.7" names the address the provider now holds (some
        // list both families): one the request did not send means it set
        // another, most often the connection's own when it ignored "myip".
        if (row && row->action != provider_dyndns2::A::Stop && row->action != provider_dyndns2::A::Retry &&
            NamesOtherAddress(line.substr(word.size()), want))
            word = "otheraddress";
        row = FindDdnsAnswer(e.protocol, word);
        if (!worst || AnswerGravity(row->action) > AnswerGravity(worst->action)) {
            worst = row;
            worstWord = word;
            worstLine = line;
        }
    }
    if (!worst) return ProviderResult(e, t, "unexpected", "update", a.body);
    // An answer for fewer names than were sent leaves the others unknown.
    if (lines < e.hosts.size() && AnswerGravity(worst->action) < AnswerGravity(provider_dyndns2::A::Retry))
        return ProviderResult(e, t, "incomplete", "update", a.body);
    return ProviderResult(e, t, worstWord, "update", worstLine);
}

extern const DdnsProvider kDdnsProviderDyndns2 = {
    .word = "dyndns2",
    .name = "dyndns2 (Dyn, or any server speaking it)",
    .server = "https://members.dyndns.org",
    .secretKind = DdnsSecretKind::Password,
    .fields = {.server = "the service's base URL; /nic/update is added",
               .login = "the account's user name",
               .secret = "the account's password (or its update key)",
               .needsLogin = true},
    .tokenUrl = "https://account.dyn.com/",
    .note = "the protocol most dynamic-DNS services speak",
    .answers = provider_dyndns2::kAnswers,
    .deliver = Dyndns2Deliver,
};

}  // namespace zelmar
