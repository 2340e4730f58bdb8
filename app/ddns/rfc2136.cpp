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
// update is signed, sent (UDP, then TCP when the answer is truncated) and its
// answer's signature checked over the bytes received; ldns's resolver would
// drop an answer whose TSIG does not verify, and with it the server's reason
// (BADKEY, BADSIG) that the user needs to read.
#include <arpa/inet.h>
// Before ldns: without it ldns defines bool, true and false as macros, which
// breaks the C++ headers that follow.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)
#include <ldns/ldns.h>
#include <netdb.h>

#include <algorithm>
#include <memory>

#include "app/core/text.h"
#include "app/ddns/ddns_protocols.h"

namespace zelmar {

namespace {

struct ResolverFree {
    void operator()(ldns_resolver* r) const { ldns_resolver_deep_free(r); }
};
struct PktFree {
    void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
struct RdfFree {
    void operator()(ldns_rdf* d) const { ldns_rdf_deep_free(d); }
};
struct RrListFree {
    void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
using Resolver = std::unique_ptr<ldns_resolver, ResolverFree>;
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

// "ns1.example.org", "ns1.example.org:5353", "192.0.2.1:53", "[2001:db8::1]:53"
// or a bare IPv6 address; the host is resolved here (ldns wants an address).
bool ServerAddress(const std::string& server, std::string& address, bool& v6, std::uint16_t& port,
                   std::string& error) {
    std::string host = TrimBlanks(server);
    port = 53;
    std::string portText;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            error = "\"" + server + "\" lacks its closing ']'";
            return false;
        }
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') {
                error = "\"" + server + "\" is not host[:port]";
                return false;
            }
            portText = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        portText = host.substr(host.find(':') + 1);
        host = host.substr(0, host.find(':'));
    }
    if (!portText.empty()) {
        const long p = LeadingInt(portText);
        if (p <= 0 || p > 65535 || std::to_string(p) != portText) {
            error = "\"" + portText + "\" is not a port";
            return false;
        }
        port = static_cast<std::uint16_t>(p);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = "cannot find the address of \"" + host + "\": " + gai_strerror(rc);
        return false;
    }
    char text[INET6_ADDRSTRLEN] = {};
    v6 = found->ai_family == AF_INET6;
    const void* raw = v6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    inet_ntop(found->ai_family, raw, text, sizeof text);
    freeaddrinfo(found);
    address = text;
    return true;
}

Resolver MakeResolver(const DdnsEntry& e, int timeoutSeconds, std::string& error) {
    std::string address;
    bool v6 = false;
    std::uint16_t port = 53;
    if (!ServerAddress(e.server, address, v6, port, error)) return nullptr;
    Resolver r(ldns_resolver_new());
    Rdf ns(ldns_rdf_new_frm_str(v6 ? LDNS_RDF_TYPE_AAAA : LDNS_RDF_TYPE_A, address.c_str()));
    if (!r || !ns || ldns_resolver_push_nameserver(r.get(), ns.get()) != LDNS_STATUS_OK) {
        error = "cannot set up the DNS resolver";
        return nullptr;
    }
    ldns_resolver_set_port(r.get(), port);
    ldns_resolver_set_recursive(r.get(), false);
    ldns_resolver_set_dnssec(r.get(), false);
    ldns_resolver_set_random(r.get(), false);
    // One try of "Timeout" seconds: a server that does not answer costs one
    // wait, not several.
    ldns_resolver_set_retry(r.get(), 1);
    ldns_resolver_set_timeout(r.get(), timeval{timeoutSeconds > 0 ? timeoutSeconds : 1, 0});
    // A truncated answer is asked again over TCP.
    ldns_resolver_set_fallback(r.get(), true);
    return r;
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

std::string StatusText(ldns_status s) {
    const char* text = ldns_get_errorstr_by_id(s);
    return text ? text : "error " + std::to_string(static_cast<int>(s));
}

bool IsNetworkStatus(ldns_status s) {
    return s == LDNS_STATUS_NETWORK_ERR || s == LDNS_STATUS_ADDRESS_ERR || s == LDNS_STATUS_RES_NO_NS ||
           s == LDNS_STATUS_SOCKET_ERROR;
}

enum class QueryStatus { Answered, Refused, Unreachable, NoAnswer };
QueryStatus Query(const DdnsEntry& e, const std::string& host, bool aaaa, std::vector<std::string>& addresses,
                  std::string& error, int timeoutSeconds);

// Whether the server holds the addresses, or the result that ends the
// attempt. A server that cannot be reached ends it; one that refuses the
// query (a primary that serves updates but not queries to us, a zone it does
// not serve) does not hold them, and the update's answer then decides.
bool Holds(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& attempt, bool& all,
           DeliveryResult& failure) {
    all = true;
    for (const std::string& host : e.hosts) {
        for (const bool aaaa : {false, true}) {
            const std::string& address = aaaa ? want.aaaa : want.a;
            if (address.empty()) continue;
            std::vector<std::string> held;
            std::string error;
            const QueryStatus status = Query(e, host, aaaa, held, error, attempt.timeoutSeconds);
            if (status == QueryStatus::Refused) {
                all = false;
                continue;
            }
            if (status != QueryStatus::Answered) {
                failure = DdnsResult(AnswerClass::Retry, status == QueryStatus::NoAnswer ? "timeout" : "network",
                                     "query", error, attempt.failures, attempt.now);
                return false;
            }
            all = all && held.size() == 1 && held.front() == address;
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

QueryStatus Query(const DdnsEntry& e, const std::string& host, bool aaaa, std::vector<std::string>& addresses,
                  std::string& error, int timeoutSeconds) {
    addresses.clear();
    Resolver r = MakeResolver(e, timeoutSeconds, error);
    if (!r) return QueryStatus::Unreachable;
    Rdf name(ldns_dname_new_frm_str(Absolute(host).c_str()));
    if (!name) {
        error = "\"" + host + "\" is not a DNS name";
        return QueryStatus::Refused;
    }
    const ldns_rr_type type = aaaa ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A;
    ldns_pkt* raw = nullptr;
    const ldns_status s = ldns_resolver_query_status(&raw, r.get(), name.get(), type, LDNS_RR_CLASS_IN, 0);
    Pkt answer(raw);
    if (s != LDNS_STATUS_OK || !answer) {
        error = "no answer from " + e.server + " (" + StatusText(s) + ")";
        if (s == LDNS_STATUS_NETWORK_ERR) error = "no answer from " + e.server + ": timed out or refused";
        return QueryStatus::NoAnswer;
    }
    const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(answer.get());
    if (rcode != LDNS_RCODE_NOERROR && rcode != LDNS_RCODE_NXDOMAIN) {
        error = e.server + " answered the query with " + RcodeName(rcode);
        return QueryStatus::Refused;
    }
    RrList rrs(ldns_pkt_rr_list_by_name_and_type(answer.get(), name.get(), type, LDNS_SECTION_ANSWER));
    for (std::size_t i = 0; rrs && i < ldns_rr_list_rr_count(rrs.get()); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(rrs.get(), i);
        if (ldns_rr_rd_count(rr) < 1) continue;
        char* text = ldns_rdf2str(ldns_rr_rdf(rr, 0));
        if (text) addresses.emplace_back(text);
        free(text);
    }
    return QueryStatus::Answered;
}

}  // namespace

namespace {

struct Bytes {
    uint8_t* data = nullptr;
    ~Bytes() { free(data); }
};
struct BufferFree {
    void operator()(ldns_buffer* b) const { ldns_buffer_free(b); }
};

// One exchange with the server: UDP, and TCP again when the answer comes
// back truncated. The raw bytes are kept because the TSIG of the answer is
// checked over them.
ldns_status Exchange(ldns_buffer* query, const sockaddr_storage& to, socklen_t toLength, int timeoutSeconds,
                     Bytes& answer, std::size_t& size, Pkt& packet) {
    const timeval timeout{timeoutSeconds > 0 ? timeoutSeconds : 1, 0};
    ldns_status s = ldns_udp_send(&answer.data, query, &to, toLength, timeout, &size);
    if (s != LDNS_STATUS_OK) return s;
    ldns_pkt* raw = nullptr;
    s = ldns_wire2pkt(&raw, answer.data, size);
    packet.reset(raw);
    if (s != LDNS_STATUS_OK || !ldns_pkt_tc(packet.get())) return s;
    free(answer.data);
    answer.data = nullptr;
    packet.reset();
    s = ldns_tcp_send(&answer.data, query, &to, toLength, timeout, &size);
    if (s != LDNS_STATUS_OK) return s;
    raw = nullptr;
    s = ldns_wire2pkt(&raw, answer.data, size);
    packet.reset(raw);
    return s;
}

}  // namespace

std::string Rfc2136SendUpdate(const DdnsEntry& e, const DdnsAddresses& want, int timeoutSeconds,
                              std::string& detail) {
    std::string address;
    bool v6 = false;
    std::uint16_t port = 53;
    if (!ServerAddress(e.server, address, v6, port, detail)) return "network";

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
    ldns_pkt_set_random_id(update.get());
    const std::string keyName = Absolute(e.keyName);
    const std::string algorithm = Lower(e.keyAlgorithm) + ".";
    const ldns_status signedStatus =
        ldns_pkt_tsig_sign(update.get(), keyName.c_str(), e.secret.c_str(), 300, algorithm.c_str(), nullptr);
    if (signedStatus != LDNS_STATUS_OK) {
        // A secret that is no base64 ends here, before anything is sent.
        detail = "cannot sign with key \"" + e.keyName + "\": " + StatusText(signedStatus);
        return "BADKEY";
    }
    std::unique_ptr<ldns_buffer, BufferFree> query(ldns_buffer_new(LDNS_MAX_PACKETLEN));
    if (!query || ldns_pkt2buffer_wire(query.get(), update.get()) != LDNS_STATUS_OK) {
        detail = "cannot build the update";
        return "FORMERR";
    }

    sockaddr_storage to{};
    socklen_t toLength = 0;
    if (v6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&to);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr);
        toLength = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&to);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a4->sin_addr);
        toLength = sizeof(sockaddr_in);
    }
    Bytes bytes;
    std::size_t size = 0;
    Pkt answer;
    const ldns_status s = Exchange(query.get(), to, toLength, timeoutSeconds, bytes, size, answer);
    if (s != LDNS_STATUS_OK || !answer) {
        detail = "no answer from " + e.server + " (" + StatusText(s) + ")";
        return IsNetworkStatus(s) ? "timeout" : "network";
    }
    if (ldns_pkt_id(answer.get()) != ldns_pkt_id(update.get())) {
        detail = "the answer from " + e.server + " is for another message";
        return "network";
    }
    std::string code = RcodeName(ldns_pkt_get_rcode(answer.get()));
    if (code == "NOTAUTH") {
        // A server that refuses the key says why in its TSIG record.
        const std::string tsig = TsigError(answer.get());
        if (!tsig.empty()) code = tsig;
    }
    if (code == "NOERROR") {
        // A success the key does not vouch for is no success.
        const ldns_rdf* mac = ldns_rr_rdf(ldns_pkt_tsig(update.get()), 3);
        if (!ldns_pkt_tsig(answer.get()) ||
            !ldns_pkt_tsig_verify(answer.get(), bytes.data, size, keyName.c_str(), e.secret.c_str(), mac)) {
            detail = "the server's answer is not signed with the key";
            return "network";
        }
    }
    detail = e.server + " answered " + code;
    return code;
}

DeliveryResult Rfc2136Deliver(const DdnsEntry& eIn, const DdnsAddresses& wantIn, const DdnsAttempt& attempt) {
    DdnsEntry e = eIn;
    if (e.zone.empty() && !e.hosts.empty()) {
        // Without a zone the name's parent is the likely one.
        const std::size_t dot = e.hosts.front().find('.');
        e.zone = dot == std::string::npos ? e.hosts.front() : e.hosts.front().substr(dot + 1);
    }
    DdnsAddresses want;
    if (!wantIn.a.empty()) want.a = CanonicalAddress(wantIn.a, false);
    if (!wantIn.aaaa.empty()) want.aaaa = CanonicalAddress(wantIn.aaaa, true);

    bool held = false;
    DeliveryResult failure;
    if (!Holds(e, want, attempt, held, failure)) return failure;
    if (held) return DdnsResult(AnswerClass::Unchanged, "unchanged", "query", {}, attempt.failures, attempt.now);

    std::string detail;
    const std::string code = Rfc2136SendUpdate(e, want, attempt.timeoutSeconds, detail);
    const AnswerRow* row = FindDdnsAnswer(DdnsProtocol::Rfc2136, code);
    const AnswerClass action = row ? row->action : AnswerClass::Retry;
    if (action != AnswerClass::Updated) return DdnsResult(action, code, "update", detail, attempt.failures, attempt.now);

    if (!Holds(e, want, attempt, held, failure)) return failure;
    if (!held) {
        return DdnsResult(AnswerClass::Retry, "notheld", "read back",
                          e.server + " answered NOERROR but still holds other records", attempt.failures,
                          attempt.now);
    }
    return DdnsResult(AnswerClass::Updated, "NOERROR", "update", {}, attempt.failures, attempt.now);
}

}  // namespace zelmar
