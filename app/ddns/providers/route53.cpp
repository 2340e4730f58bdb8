// Amazon Route 53 (API version 2013-04-01, ChangeResourceRecordSets): one
// POST /2013-04-01/hostedzone/ZONEID/rrset whose XML ChangeBatch UPSERTs
// every name's A/AAAA record set, signed with AWS Signature Version 4
// (region us-east-1, service route53) by an access key. Success is 200 with
// a ChangeInfo whose Status is PENDING (or INSYNC); a refusal is an
// ErrorResponse naming its Code, of which Throttling and
// PriorRequestNotComplete ask to try again later.
#include "app/ddns/ddns_http.h"
#include "app/ddns/ddns_signing.h"

namespace zelmar {

namespace provider_route53 {

using A = AnswerClass;

constexpr AnswerRow kAnswers[] = {
    {"PENDING", A::Updated, "updated (the change is being applied)"},
    {"INSYNC", A::Updated, "updated"},
    {"Throttling", A::Retry, "too many requests: Route 53 asks to try later"},
    {"PriorRequestNotComplete", A::Retry, "an earlier change of the zone is still being applied"},
};

std::string ChangeBatch(const DdnsEntry& e, const DdnsAddresses& want) {
    std::string changes;
    for (const std::string& host : e.hosts) {
        const std::string name = host.back() == '.' ? host : host + ".";
        for (const WantedRecord& w : WantedRecords(want))
            changes += "<Change><Action>UPSERT</Action><ResourceRecordSet><Name>" + name + "</Name><Type>" + w.type +
                       "</Type><TTL>" + std::to_string(e.ttl) + "</TTL><ResourceRecords><ResourceRecord><Value>" +
                       w.address + "</Value></ResourceRecord></ResourceRecords></ResourceRecordSet></Change>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ChangeResourceRecordSetsRequest xmlns=\"https://route53.amazonaws.com/doc/2013-04-01/\">"
           "<ChangeBatch><Comment>Zelmar</Comment><Changes>" +
           changes + "</Changes></ChangeBatch></ChangeResourceRecordSetsRequest>";
}

DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const std::string base = ProviderBase(e);
    const std::size_t hostFrom = base.find("://") == std::string::npos ? 0 : base.find("://") + 3;
    const std::size_t hostTo = base.find('/', hostFrom);
    // The console shows the ID alone, the API's answers as "/hostedzone/ID".
    std::string zone = e.zone;
    if (zone.rfind("/hostedzone/", 0) == 0) zone.erase(0, 12);
    SigV4Request s;
    s.method = "POST";
    s.path = (hostTo == std::string::npos ? "" : base.substr(hostTo)) + "/2013-04-01/hostedzone/" + UrlEscape(zone) +
             "/rrset";
    s.payload = ChangeBatch(e, want);
    const std::string time = SigV4Time(t.now);
    s.headers = {{"content-type", "text/xml"},
                 {"host", base.substr(hostFrom, hostTo == std::string::npos ? std::string::npos : hostTo - hostFrom)},
                 {"x-amz-date", time}};
    HttpsRequest q = ProviderRequest(e, t, "POST", base.substr(0, hostTo) + s.path);
    q.headers = {"Content-Type: text/xml", "X-Amz-Date: " + time,
                 "Authorization: " + SigV4Authorization(s, e.login, e.secret, time, "us-east-1", "route53")};
    q.body = s.payload;
    const HttpsAnswer a = SendHttps(q);
    // The codes that mean "later" come with 400, like the final refusals.
    const std::string code = XmlTagText(a.body, "Code");
    const AnswerRow* row = a.code.empty() ? FindDdnsAnswer(e.protocol, code) : nullptr;
    if (row && row->action == A::Retry) return ProviderResult(e, t, code, "update", XmlTagText(a.body, "Message"));
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) {
        if (!code.empty()) out.serverReply = MaskReply(code + ": " + XmlTagText(a.body, "Message"), e.secret);
        return out;
    }
    const std::string status = XmlTagText(a.body, "Status");
    return ProviderResult(e, t, status.empty() ? "unexpected" : status, "update", a.body);
}

}  // namespace provider_route53

extern const DdnsProvider kDdnsProviderRoute53 = {
    .word = "route53",
    .name = "Amazon Route 53",
    .server = "https://route53.amazonaws.com",
    .fields = {.zone = "the hosted zone's ID (Z...)",
               .login = "the access key ID",
               .secret = "the secret access key (allowed route53:ChangeResourceRecordSets)",
               .ttl = true,
               .needsZone = true,
               .needsLogin = true},
    .tokenUrl = "https://console.aws.amazon.com/iam/home#/security_credentials",
    .note = "UPSERTs every name's record sets in one signed change",
    .answers = provider_route53::kAnswers,
    .deliver = provider_route53::Deliver,
};

}  // namespace zelmar
