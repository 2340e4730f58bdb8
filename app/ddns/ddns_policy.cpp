#include "app/ddns/ddns_policy.h"

#include <arpa/inet.h>

#include "app/core/secret_text.h"
#include "app/core/text.h"

namespace zelmar {

namespace {

using A = AnswerClass;

// The dyndns2 return codes as the protocol's documentation lists them; one
// answer line per host, its first word is the code.
constexpr AnswerRow kDyndns2[] = {
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

// DuckDNS answers "OK" or "KO" and nothing else; "KO" is a wrong token or a
// domain that is not the account's.
constexpr AnswerRow kDuckDns[] = {
    {"OK", A::Updated, "updated"},
    {"KO", A::Stop, "the token or the domain was refused"},
};

// Cloudflare answers with JSON; its HTTP statuses carry the decision
// (DdnsHttpStatusClass). These rows name the steps' own findings.
constexpr AnswerRow kCloudflare[] = {
    {"success", A::Updated, "updated"},
    {"unchanged", A::Unchanged, "already held the address"},
    {"nozone", A::Stop, "the zone is not in this account (or the token may not see it)"},
    {"failure", A::Stop, "the API refused the request"},
    {"badjson", A::Retry, "the API's answer was not what it documents"},
};

// RFC 2136 and RFC 8945 response codes. A wrong key or a policy that refuses
// the name will not change by itself; a clock out of step (BADTIME) or a
// server in trouble may.
constexpr AnswerRow kRfc2136[] = {
    {"NOERROR", A::Updated, "updated"},
    {"unchanged", A::Unchanged, "already held the address"},
    {"NOTAUTH", A::Stop, "the server does not accept this key for the zone (NOTAUTH)"},
    // Knot also answers BADKEY when its ACL denies a key it knows.
    {"BADKEY", A::Stop, "the server does not know the key or does not let it make this update (BADKEY)"},
    {"BADSIG", A::Stop, "the key's secret is wrong (BADSIG)"},
    {"BADTIME", A::Retry, "the clocks of this machine and the server differ too much (BADTIME)"},
    {"REFUSED", A::Stop, "the server's policy refuses this update (REFUSED)"},
    {"NOTZONE", A::Stop, "the name is not in the zone (NOTZONE)"},
    {"NOTIMP", A::Stop, "the server does not accept updates (NOTIMP)"},
    {"FORMERR", A::Stop, "the server could not read the update (FORMERR)"},
    {"SERVFAIL", A::Retry, "the server failed (SERVFAIL)"},
    {"NXDOMAIN", A::Retry, "a prerequisite failed (NXDOMAIN)"},
    {"YXDOMAIN", A::Retry, "a prerequisite failed (YXDOMAIN)"},
    {"YXRRSET", A::Retry, "a prerequisite failed (YXRRSET)"},
    {"NXRRSET", A::Retry, "a prerequisite failed (NXRRSET)"},
    {"notheld", A::Retry, "the server answered NOERROR but does not hold the new address"},
};

// What every protocol can meet on the way: nothing here reached the
// provider's account logic, so trying again later cannot count against it.
constexpr AnswerRow kTransport[] = {
    {"timeout", A::Retry, "the server did not answer in time"},
    {"network", A::Retry, "the server could not be reached"},
    {"tls", A::Retry, "the server's certificate was not accepted"},
    {"toolong", A::Retry, "the answer was longer than any answer of the protocol"},
    {"unexpected", A::Retry, "the answer is none the protocol defines"},
};

bool IsAddress(int family, const std::string& text) {
    unsigned char buf[16];
    return !text.empty() && inet_pton(family, text.c_str(), buf) == 1;
}

}  // namespace

std::span<const AnswerRow> DdnsAnswerTable(DdnsProtocol p) {
    switch (p) {
        case DdnsProtocol::Rfc2136: return kRfc2136;
        case DdnsProtocol::Dyndns2: return kDyndns2;
        case DdnsProtocol::DuckDns: return kDuckDns;
        case DdnsProtocol::Cloudflare: return kCloudflare;
    }
    return {};
}

const AnswerRow* FindDdnsAnswer(DdnsProtocol p, const std::string& answer) {
    for (const AnswerRow& row : DdnsAnswerTable(p))
        if (answer == row.answer) return &row;
    for (const AnswerRow& row : kTransport)
        if (answer == row.answer) return &row;
    return nullptr;
}

AnswerClass DdnsHttpStatusClass(long status) {
    if (status >= 200 && status <= 299) return A::Updated;
    if (status == 408 || status == 429 || (status >= 500 && status <= 599)) return A::Retry;
    return A::Stop;
}

DdnsAddresses WantedAddresses(const DdnsEntry& e, const RefreshSnapshot& snapshot) {
    DdnsAddresses out;
    if (e.wantA && IsAddress(AF_INET, snapshot.current.wan.text())) out.a = snapshot.current.wan.text();
    if (e.wantAAAA && IsAddress(AF_INET6, snapshot.current.wan6.text())) out.aaaa = snapshot.current.wan6.text();
    return out;
}

bool DdnsDue(const DdnsEntry& e, const RefreshSnapshot& snapshot, const ChannelRecord& record, std::int64_t now) {
    const DdnsAddresses want = WantedAddresses(e, snapshot);
    if (want.empty()) return false;
    // A refresh the user asked for does not wait for the back-off.
    if (record.retryAt > now && !snapshot.forced()) return false;
    // An own name server is cheap to ask and may have been edited behind
    // our back: it is always asked, and the update skipped when it holds
    // the address already.
    if (e.protocol == DdnsProtocol::Rfc2136) return true;
    // A provider is never sent an address it got from us already (repeated
    // "nochg" gets accounts blocked), except to keep a free account alive.
    if (!record.everDelivered()) return true;
    AddressSet wanted = record.delivered;
    wanted.wan = want.a;
    wanted.wan6 = want.aaaa;
    if (ChangesBetween(record.delivered, wanted, UnknownIs::NoChangeWhenUnknownNow).any()) return true;
    return now - record.deliveredAt >= kDdnsRefreshSeconds;
}

DeliveryResult DdnsResult(AnswerClass action, std::string code, std::string step, std::string reply, int failures,
                          std::int64_t now) {
    DeliveryResult r;
    r.code = std::move(code);
    r.step = std::move(step);
    r.serverReply = std::move(reply);
    switch (action) {
        case A::Updated: r.outcome = DeliveryOutcome::Delivered; break;
        case A::Unchanged: r.outcome = DeliveryOutcome::NothingToDo; break;
        case A::Stop: r.outcome = DeliveryOutcome::FailedPermanently; break;
        case A::Retry:
            r.outcome = DeliveryOutcome::Failed;
            r.retryAt = now + DdnsBackoffSeconds(failures);
            break;
    }
    return r;
}

std::string MaskReply(const std::string& reply, const std::string& secret, std::size_t limit) {
    // Every form the secret travels in, before the cut.
    const std::string text = WithoutSecretForms(reply, SecretForms(secret), "****");
    std::string out;
    bool blank = false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            blank = !out.empty();
            continue;
        }
        if (blank) out.push_back(' ');
        blank = false;
        out.push_back(static_cast<char>(c));
        if (out.size() >= limit) {
            out += "...";
            break;
        }
    }
    return out;
}

}  // namespace zelmar
