#include "app/ddns/ddns_policy.h"

#include <arpa/inet.h>

#include "app/core/secret_text.h"
#include "app/core/text.h"
#include "app/ddns/ddns_provider.h"

namespace zelmar {

namespace {

using A = AnswerClass;

// What every protocol can meet on the way: nothing here reached the
// provider's account logic, so trying again later cannot count against it.
constexpr AnswerRow kTransport[] = {
    {"timeout", A::Retry, "the server did not answer in time"},
    {"network", A::Retry, "the server could not be reached"},
    {"tls", A::Retry, "the server's certificate was not accepted"},
    {"toolong", A::Retry, "the answer was longer than any answer of the protocol"},
    {"unexpected", A::Retry, "the answer is none the protocol defines"},
    {"badjson", A::Retry, "the API's answer was not what it documents"},
    // An answer is checked against the request: a provider that says "done"
    // for fewer names than were sent, or with another address than the one
    // sent (it took the connection's, or kept the old), has not done it.
    {"incomplete", A::Retry, "the provider's answer does not cover every name sent"},
    {"otheraddress", A::Retry, "the provider reports another address than the one sent"},
};

// The words of the providers that work record by record (SyncRecords):
// found the record holding the address, or changed or created it. A
// provider's own table is read first, so it may give them other meanings.
constexpr AnswerRow kRecordWords[] = {
    {"updated", A::Updated, "updated"},
    {"unchanged", A::Unchanged, "already held the address"},
    {"nozone", A::Stop, "the zone is not in this account (or the key may not see it)"},
};

bool IsAddress(int family, const std::string& text) {
    unsigned char buf[16];
    return !text.empty() && inet_pton(family, text.c_str(), buf) == 1;
}

}  // namespace

std::span<const AnswerRow> DdnsAnswerTable(DdnsProtocol p) { return ProviderOf(p).answers; }

const AnswerRow* FindDdnsAnswer(DdnsProtocol p, const std::string& answer) {
    for (const AnswerRow& row : DdnsAnswerTable(p))
        if (answer == row.answer) return &row;
    for (const AnswerRow& row : kRecordWords)
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
    const DdnsProvider& provider = ProviderOf(e.protocol);
    if (provider.askEveryRefresh) return true;
    // A provider is never sent an address it got from us already (repeated
    // "nochg" gets accounts blocked), except to keep a free account alive.
    if (!record.everDelivered()) return true;
    AddressSet wanted = record.delivered;
    wanted.wan = want.a;
    wanted.wan6 = want.aaaa;
    if (ChangesBetween(record.delivered, wanted, UnknownIs::NoChangeWhenUnknownNow).any()) return true;
    if (provider.refreshDays <= 0) return false;
    return now - record.deliveredAt >= std::int64_t{provider.refreshDays} * 24 * 60 * 60;
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
