#include "app/ddns/ddns_channel.h"

#include <ctime>

#include "app/core/event_log.h"
#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/ddns/ddns_policy.h"
#include "app/ddns/ddns_provider.h"
#include "app/ddns/ddns_protocols.h"
#include "app/refresh/secret_guard.h"

namespace zelmar {

namespace {

std::int64_t Seconds(const RefreshSnapshot& s) {
    const auto t = s.time.time_since_epoch().count() != 0 ? s.time : std::chrono::system_clock::now();
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::string HourMinute(std::int64_t when) { return LocalTimeText(static_cast<std::time_t>(when), "%H:%M"); }

std::string Hosts(const DdnsEntry& e) {
    std::string out;
    for (const std::string& h : e.hosts) out += (out.empty() ? "" : ", ") + h;
    return out;
}

}  // namespace

DdnsChannel::DdnsChannel(DdnsEntry entry, std::vector<std::string> problems, std::string fingerprint,
                         int timeoutSeconds)
    : entry_(std::move(entry)),
      problems_(std::move(problems)),
      fingerprint_(std::move(fingerprint)),
      timeoutSeconds_(timeoutSeconds) {}

bool DdnsChannel::Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const {
    record_ = record;
    // Unusable settings are reported once; the stop then holds until they
    // change.
    if (!problems_.empty()) return true;
    return DdnsDue(entry_, snapshot, record, Seconds(snapshot));
}

DeliveryResult DdnsChannel::Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) {
    const std::int64_t now = Seconds(snapshot);
    DeliveryResult r;
    std::string addresses;
    if (!problems_.empty()) {
        std::string all;
        for (const std::string& p : problems_) all += (all.empty() ? "" : "; ") + p;
        r = DdnsResult(AnswerClass::Stop, "settings", "settings", all, record_.failures, now);
    } else {
        const DdnsAddresses want = WantedAddresses(entry_, snapshot);
        addresses = want.a + (want.a.empty() || want.aaaa.empty() ? "" : " and ") + want.aaaa;
        const DdnsAttempt attempt{record_.failures, now, timeoutSeconds_};
        r = ProviderOf(entry_.protocol).deliver(entry_, want, attempt);
    }
    reporter.Post(StatusMessage::Program("P", DdnsStatusLine(entry_, r, addresses)));
    return r;
}

std::string DdnsStatusLine(const DdnsEntry& e, const DeliveryResult& r, const std::string& addresses) {
    const std::string head = e.SectionName() + ": ";
    switch (r.outcome) {
        case DeliveryOutcome::Delivered:
            // An rfc2136 success carries a note only when it could not be read back.
            return head + Hosts(e) + " now points to " + addresses + "." +
                   (e.protocol == DdnsProtocol::Rfc2136 && !r.serverReply.empty() ? " " + r.serverReply : "");
        case DeliveryOutcome::NothingToDo: return head + Hosts(e) + " already points to " + addresses + ".";
        case DeliveryOutcome::Failed:
        case DeliveryOutcome::FailedPermanently: break;
    }
    std::string line = head;
    if (r.code == "settings") {
        line += "cannot be used: " + r.serverReply + ".";
    } else {
        line += r.step + " failed: " + DdnsMeaning(e.protocol, r.code) + ".";
        if (!r.serverReply.empty()) line += " Server: " + r.serverReply;
    }
    if (r.outcome == DeliveryOutcome::FailedPermanently) {
        line += " The entry stops updating until its settings change.";
    } else if (r.retryAt != 0) {
        line += " Next try after " + HourMinute(r.retryAt) + ".";
    }
    return line;
}

std::vector<std::unique_ptr<DeliveryChannel>> MakeDdnsChannels(const ChannelContext& ctx) {
    std::vector<std::unique_ptr<DeliveryChannel>> channels;
    for (const std::string& name : DdnsEntryNames(ctx.ini)) {
        std::vector<std::string> problems;
        DdnsEntry e = ReadDdnsEntry(ctx.ini, name, ctx.scrambleKey, problems);
        if (!e.enabled) continue;
        std::string fingerprint = DdnsFingerprint(e, FingerprintKey(ctx.ini));
        const std::string secretProblem = problems.empty() ? e.secretProblem : std::string();
        std::unique_ptr<DeliveryChannel> channel = std::make_unique<DdnsChannel>(
            std::move(e), std::move(problems), std::move(fingerprint), ctx.settings.Timeout);
        channels.push_back(secretProblem.empty() ? std::move(channel)
                                                 : HeldForSecret(std::move(channel), secretProblem));
    }
    return channels;
}

}  // namespace zelmar
