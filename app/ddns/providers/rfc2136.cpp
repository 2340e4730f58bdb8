// RFC 2136 dynamic updates signed with a TSIG key, to the user's own name
// server (BIND, Knot, PowerDNS ...). The exchange itself is app/ddns/rfc2136.cpp.
#include "app/ddns/ddns_protocols.h"
#include "app/ddns/ddns_provider.h"

namespace zelmar {

namespace provider_rfc2136 {

using A = AnswerClass;

// RFC 2136 and RFC 8945 response codes. A wrong key or a policy that refuses
// the name will not change by itself; a clock out of step (BADTIME) or a
// server in trouble may.
constexpr AnswerRow kAnswers[] = {
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

}  // namespace provider_rfc2136

extern const DdnsProvider kDdnsProviderRfc2136 = {
    .word = "rfc2136",
    .name = "RFC 2136 (own name server, TSIG)",
    .secretKind = DdnsSecretKind::TsigKey,
    .fields = {.server = "the name server, host[:port]",
               .zone = "the zone updated (the first name's parent when empty)",
               .keyName = "the TSIG key's name and algorithm, as the server's configuration names them",
               .secret = "the key's secret (base64)",
               .ttl = true,
               .caFile = false,
               .needsServer = true,
               .needsKeyName = true},
    .note = "BIND, Knot, PowerDNS, or any server taking signed updates",
    .answers = provider_rfc2136::kAnswers,
    .deliver = Rfc2136Deliver,
    .askEveryRefresh = true,
    .refreshDays = 0,
};

}  // namespace zelmar
