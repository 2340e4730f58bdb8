// RFC 2136 dynamic updates, signed with TSIG (RFC 8945), through ldns.
//
// ldns builds and signs the messages; this file only decides what to send:
// for every name of the entry and every record type it follows, the UPDATE
// deletes the name's whole RRset of that type and adds the one new record,
// all in one message, so the server applies all of it or none. Before it the
// server is asked what it holds (nothing is sent when it holds the address
// already) and after it the records are read back: a NOERROR from a server
// whose zone did not change (a secondary that forwards updates, a policy
// that drops them quietly) does not count as delivered.
//
// Queries go unsigned: a wrong key must not hide what the server holds. The
// update is signed and its answer's signature checked over the bytes
// received; ldns's resolver would drop an answer whose TSIG does not verify,
// and with it the server's reason (BADKEY, BADSIG) that the user needs to
// read. Every exchange, query or update, goes through dns_transport.h: one
// deadline of "Timeout" seconds over UDP and TCP together, a random ID, and
// only the answer to the message sent is read.
#include <algorithm>
#include <chrono>
#include <memory>

#include "app/ddns/dns_transport.h"
#include "app/ddns/ddns_protocols.h"
#include "net/default_timeout.h"

namespace zelmar {

namespace {

struct PktFree {
    void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
struct RdfFree {
    void operator()(ldns_rdf* d) const { ldns_rdf_deep_free(d); }
};
struct RrListFree {
    void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;
using Rdf = std::unique_ptr<ldns_rdf, RdfFree>;
using RrList = std::unique_ptr<ldns_rr_list, RrListFree>;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Absolute(std::string name) {
    if (name.empty() || name.back() != '.') name.push_back('.');
    return name;
}

// One exchange may take "Timeout" seconds, over UDP and TCP together.
std::chrono::steady_clock::time_point DeadlineIn(int timeoutSeconds) {
    return std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutOrDefault(timeoutSeconds));
}

std::string RcodeName(ldns_pkt_rcode rcode) {
    static const char* const kNames[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                         "YXDOMAIN", "YXRRSET", "NXRRSET", "NOTAUTH", "NOTZONE"};
    const auto i = static_cast<std::size_t>(rcode);
    return i < std::size(kNames) ? kNames[i] : "RCODE" + std::to_string(i);
}

// The TSIG error a server puts into its answer's TSIG record (RFC 8945 5.3):
// it tells a key the server does not know from a wrong secret.
std::string TsigError(const ldns_pkt* answer) {
    const ldns_rr* tsig = ldns_pkt_tsig(answer);
    if (!tsig || ldns_rr_rd_count(tsig) < 6) return {};
    switch (ldns_rdf2native_int16(ldns_rr_rdf(tsig, 5))) {
        case 16: return "BADSIG";
        case 17: return "BADKEY";
        case 18: return "BADTIME";
        default: return {};
    }
}

// A secret that is not base64 is a mistake in the entry, found here before
// anything is sent; no server ever saw it.
std::string SecretProblem(const DdnsEntry& e) {
    ldns_rdf* decoded = nullptr;
    const ldns_status s = ldns_str2rdf_b64(&decoded, e.secret.c_str());
    const bool ok = s == LDNS_STATUS_OK && decoded && ldns_rdf_size(decoded) > 0;
    ldns_rdf_deep_free(decoded);
    if (ok) return {};
    return "the secret of key \"" + e.keyName + "\" is not base64 (as tsig-keygen or keymgr print it); nothing was sent";
}

enum class QueryStatus { Answered, Refused, Unreachable, NoAnswer };

QueryStatus Query(const DnsServer& server, const std::string& host, bool aaaa, int timeoutSeconds,
                  std::vector<std::string>& addresses, std::string& error) {
    addresses.clear();
    Rdf name(ldns_dname_new_frm_str(Absolute(host).c_str()));
    if (!name) {
        error = "\"" + host + "\" is not a DNS name";
        return QueryStatus::Refused;
    }
    const ldns_rr_type type = aaaa ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A;
    Pkt query(ldns_pkt_query_new(ldns_rdf_clone(name.get()), type, LDNS_RR_CLASS_IN, 0));
    if (!query) {
        error = "cannot build the query";
        return QueryStatus::Unreachable;
    }
    ldns_pkt_set_id(query.get(), RandomDnsId());
    DnsAnswer answer;
    switch (DnsExchange(server, query.get(), DeadlineIn(timeoutSeconds), answer, error)) {
        case DnsExchangeStatus::Answered: break;
        case DnsExchangeStatus::TimedOut: return QueryStatus::NoAnswer;
        case DnsExchangeStatus::Refused:
        case DnsExchangeStatus::Failed: return QueryStatus::Unreachable;
    }
    const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(answer.packet);
    if (rcode != LDNS_RCODE_NOERROR && rcode != LDNS_RCODE_NXDOMAIN) {
        error = server.text + " answered the query with " + RcodeName(rcode);
        return QueryStatus::Refused;
    }
    RrList rrs(ldns_pkt_rr_list_by_name_and_type(answer.packet, name.get(), type, LDNS_SECTION_ANSWER));
    for (std::size_t i = 0; rrs && i < ldns_rr_list_rr_count(rrs.get()); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(rrs.get(), i);
        if (ldns_rr_rd_count(rr) < 1) continue;
        char* text = ldns_rdf2str(ldns_rr_rdf(rr, 0));
        if (text) addresses.emplace_back(text);
        free(text);
    }
    return QueryStatus::Answered;
}

// What the server told about the names: whether each holds exactly the
// wanted address (a stale second record is not "held"), and whether some
// queries were refused (a primary that serves updates but not queries to
// us, a zone it does not serve) rather than answered with other records.
struct Holding {
    bool all = true;
    bool refused = false;
    bool other = false;
};

// The holding, or false and the result that ends the attempt when the
// server cannot be reached.
bool Holds(const DdnsEntry& e, const DnsServer& server, const DdnsAddresses& want, const DdnsAttempt& attempt,
           Holding& holding, DeliveryResult& failure) {
    holding = {};
    for (const std::string& host : e.hosts) {
        for (const bool aaaa : {false, true}) {
            const std::string& address = aaaa ? want.aaaa : want.a;
            if (address.empty()) continue;
            std::vector<std::string> held;
            std::string error;
            const QueryStatus status = Query(server, host, aaaa, attempt.timeoutSeconds, held, error);
            if (status == QueryStatus::Refused) {
                holding.all = false;
                holding.refused = true;
                continue;
            }
            if (status != QueryStatus::Answered) {
                failure = DdnsResult(AnswerClass::Retry, status == QueryStatus::NoAnswer ? "timeout" : "network",
                                     "query", error, attempt.failures, attempt.now);
                return false;
            }
            if (held.size() != 1 || held.front() != address) {
                holding.all = false;
                holding.other = true;
            }
        }
    }
    return true;
}

// Text form of an address as ldns prints it, so that "2001:DB8::1" and
// "2001:db8::1" compare equal.
std::string CanonicalAddress(const std::string& text, bool aaaa) {
    Rdf rdf(ldns_rdf_new_frm_str(aaaa ? LDNS_RDF_TYPE_AAAA : LDNS_RDF_TYPE_A, text.c_str()));
    if (!rdf) return text;
    char* printed = ldns_rdf2str(rdf.get());
    std::string out = printed ? printed : text;
    free(printed);
    return out;
}

// The code of a signed update's answer. Only what the key vouches for
// counts: a TSIG error (the server could not check our signature and says
// why), or an answer whose MAC verifies. An answer with a MAC that does not
// verify, or an unsigned success, may come from anyone on the path: it is
// no answer of the server ("network", retried), and the line says what was
// wrong with it.
std::string AnswerCode(const DdnsEntry& e, const ldns_pkt* update, DnsAnswer& answer, std::string& detail) {
    const std::string rcode = RcodeName(ldns_pkt_get_rcode(answer.packet));
    const std::string tsigError = TsigError(answer.packet);
    if (!tsigError.empty()) {
        detail = e.server + " answered " + rcode + " (" + tsigError + ")";
        return tsigError;
    }
    const std::string keyName = Absolute(e.keyName);
    if (ldns_pkt_tsig(answer.packet)) {
        const ldns_rdf* mac = ldns_rr_rdf(ldns_pkt_tsig(update), 3);
        if (!ldns_pkt_tsig_verify(answer.packet, answer.wire.data(), answer.wire.size(), keyName.c_str(),
                                  e.secret.c_str(), mac)) {
            detail = "the signature of the answer (" + rcode + ") does not match the key \"" + e.keyName +
                     "\": it was changed on the way or made by someone else";
            return "network";
        }
        detail = e.server + " answered " + rcode;
        return rcode;
    }
    if (rcode == "REFUSED") {
        // Some servers (PowerDNS) answer a key they do not know, or a wrong
        // secret, with a bare REFUSED: the key is as likely a cause as the
        // policy.
        detail = e.server + " answered REFUSED without signing it: it may not know the key \"" + e.keyName +
                 "\" or its secret";
        return rcode;
    }
    if (rcode == "NOERROR") {
        detail = "the server's answer is not signed with the key (" + e.server + " answered NOERROR without a TSIG)";
        return "network";
    }
    detail = e.server + " answered " + rcode + " without signing it";
    return rcode;
}

std::string SendUpdate(const DdnsEntry& e, const DnsServer& server, const DdnsAddresses& want, int timeoutSeconds,
                       std::string& detail) {
    RrList updates(ldns_rr_list_new());
    for (const std::string& host : e.hosts) {
        for (const bool aaaa : {false, true}) {
            const std::string& value = aaaa ? want.aaaa : want.a;
            if (value.empty()) continue;
            // Delete the whole RRset (class ANY, no data), then add the one
            // record: a name keeps exactly one address of each type.
            ldns_rr* remove = ldns_rr_new();
            ldns_rr_set_owner(remove, ldns_dname_new_frm_str(Absolute(host).c_str()));
            ldns_rr_set_type(remove, aaaa ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A);
            ldns_rr_set_class(remove, LDNS_RR_CLASS_ANY);
            ldns_rr_set_ttl(remove, 0);
            ldns_rr_list_push_rr(updates.get(), remove);
            const std::string line =
                Absolute(host) + " " + std::to_string(e.ttl) + " IN " + (aaaa ? "AAAA " : "A ") + value;
            ldns_rr* add = nullptr;
            if (ldns_rr_new_frm_str(&add, line.c_str(), 0, nullptr, nullptr) != LDNS_STATUS_OK) {
                detail = "cannot make a record of " + host;
                return "FORMERR";
            }
            ldns_rr_list_push_rr(updates.get(), add);
        }
    }
    Rdf zone(ldns_dname_new_frm_str(Absolute(e.zone).c_str()));
    if (!zone) {
        detail = "\"" + e.zone + "\" is not a zone name";
        return "NOTZONE";
    }
    // The packet takes the zone's name over.
    Pkt update(ldns_update_pkt_new(zone.release(), LDNS_RR_CLASS_IN, nullptr, updates.get(), nullptr));
    if (!update) {
        detail = "cannot build the update";
        return "FORMERR";
    }
    ldns_pkt_set_rd(update.get(), false);
    ldns_pkt_set_id(update.get(), RandomDnsId());
    const std::string keyName = Absolute(e.keyName);
    const std::string algorithm = Lower(e.keyAlgorithm) + ".";
    if (const std::string problem = SecretProblem(e); !problem.empty()) {
        detail = problem;
        return "settings";
    }
    const ldns_status signedStatus =
        ldns_pkt_tsig_sign(update.get(), keyName.c_str(), e.secret.c_str(), 300, algorithm.c_str(), nullptr);
    if (signedStatus != LDNS_STATUS_OK) {
        const char* why = ldns_get_errorstr_by_id(signedStatus);
        detail = "cannot sign with key \"" + e.keyName + "\" (" + e.keyAlgorithm + "): " + (why ? why : "error") +
                 "; nothing was sent";
        return "settings";
    }
    DnsAnswer answer;
    switch (DnsExchange(server, update.get(), DeadlineIn(timeoutSeconds), answer, detail)) {
        case DnsExchangeStatus::Answered: return AnswerCode(e, update.get(), answer, detail);
        case DnsExchangeStatus::TimedOut: return "timeout";
        case DnsExchangeStatus::Refused:
        case DnsExchangeStatus::Failed: return "network";
    }
    return "network";
}

}  // namespace

std::string Rfc2136SendUpdate(const DdnsEntry& e, const DdnsAddresses& want, int timeoutSeconds,
                              std::string& detail) {
    DnsServer server;
    if (!ResolveDnsServer(e.server, server, detail)) return "network";
    return SendUpdate(e, server, want, timeoutSeconds, detail);
}

DeliveryResult Rfc2136Deliver(const DdnsEntry& eIn, const DdnsAddresses& wantIn, const DdnsAttempt& attempt) {
    DdnsEntry e = eIn;
    if (e.zone.empty() && !e.hosts.empty()) {
        // Without a zone the name's parent is the likely one.
        const std::size_t dot = e.hosts.front().find('.');
        e.zone = dot == std::string::npos ? e.hosts.front() : e.hosts.front().substr(dot + 1);
    }
    if (const std::string problem = SecretProblem(e); !problem.empty())
        return DdnsResult(AnswerClass::Stop, "settings", "settings", problem, attempt.failures, attempt.now);
    DnsServer server;
    std::string error;
    if (!ResolveDnsServer(e.server, server, error))
        return DdnsResult(AnswerClass::Retry, "network", "query", error, attempt.failures, attempt.now);
    DdnsAddresses want;
    if (!wantIn.a.empty()) want.a = CanonicalAddress(wantIn.a, false);
    if (!wantIn.aaaa.empty()) want.aaaa = CanonicalAddress(wantIn.aaaa, true);

    Holding holding;
    DeliveryResult failure;
    if (!Holds(e, server, want, attempt, holding, failure)) return failure;
    if (holding.all) {
        DeliveryResult unchanged =
            DdnsResult(AnswerClass::Unchanged, "unchanged", "query", {}, attempt.failures, attempt.now);
        unchanged.sentNothing = true;
        return unchanged;
    }

    std::string detail;
    const std::string code = SendUpdate(e, server, want, attempt.timeoutSeconds, detail);
    if (code == "settings")
        return DdnsResult(AnswerClass::Stop, code, "settings", detail, attempt.failures, attempt.now);
    const AnswerRow* row = FindDdnsAnswer(DdnsProtocol::Rfc2136, code);
    const AnswerClass action = row ? row->action : AnswerClass::Retry;
    if (action != AnswerClass::Updated) return DdnsResult(action, code, "update", detail, attempt.failures, attempt.now);

    if (!Holds(e, server, want, attempt, holding, failure)) return failure;
    if (holding.all) return DdnsResult(AnswerClass::Updated, "NOERROR", "update", {}, attempt.failures, attempt.now);
    if (holding.refused && !holding.other) {
        // A server that answers no plain queries can never be read back; its
        // NOERROR, signed with the key, is the best proof there is.
        return DdnsResult(AnswerClass::Updated, "NOERROR", "update",
                          e.server + " answers no plain queries: its signed NOERROR is taken as proof of the update.",
                          attempt.failures, attempt.now);
    }
    return DdnsResult(AnswerClass::Retry, "notheld", "read back",
                      e.server + " answered NOERROR but still holds other records", attempt.failures, attempt.now);
}

}  // namespace zelmar
