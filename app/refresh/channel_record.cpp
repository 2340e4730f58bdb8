#include "app/refresh/channel_record.h"

#include <charconv>
#include <ctime>

#include "app/core/event_log.h"
#include "app/core/ini_file.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

std::int64_t ReadNumber(const IniFile& ini, const std::string& section, const char* key) {
    const std::string text = ini.GetString(section, key, "0", 32);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return 0;
    return value;
}

Address Loaded(const IniFile& ini, const std::string& section, const char* key) {
    return Address(ini.GetString(section, key, "", kRecordAddressChars));
}

std::string Recorded(const Address& address) { return address.Plain().substr(0, kRecordAddressChars); }

AddressSet RecordedForm(const AddressSet& a) {
    return {Recorded(a.wan), Recorded(a.lan), Recorded(a.wan6), Recorded(a.lan6)};
}

bool Clean(const ChannelRecord& r) { return r.failures == 0 && r.retryAt == 0 && r.stoppedFor.empty(); }

}  // namespace

std::string ChannelSection(const std::string& channel) { return "Channel " + channel; }

ChannelRecord LoadChannelRecord(const IniFile& ini, const std::string& channel) {
    const std::string section = ChannelSection(channel);
    ChannelRecord r;
    r.delivered.wan = Loaded(ini, section, "WANIP");
    r.delivered.lan = Loaded(ini, section, "LANIP");
    r.delivered.wan6 = Loaded(ini, section, "WANIP6");
    r.delivered.lan6 = Loaded(ini, section, "LANIP6");
    r.deliveredAt = ReadNumber(ini, section, "DeliveredAt");
    const std::int64_t failures = ReadNumber(ini, section, "Failures");
    r.failures = failures > 1000000 ? 1000000 : static_cast<int>(failures);
    r.retryAt = ReadNumber(ini, section, "RetryAt");
    r.stoppedFor = ini.GetString(section, "StoppedFor", "", 256);
    r.stopReason = ini.GetString(section, "StopReason", "", 256);
    return r;
}

bool StoreChannelRecord(IniFile& ini, const std::string& channel, const ChannelRecord& r) {
    const std::string section = ChannelSection(channel);
    bool ok = true;
    const auto put = [&](const char* key, const std::string& value) { ok = ini.WriteString(section, key, value) && ok; };
    put("WANIP", Recorded(r.delivered.wan));
    put("LANIP", Recorded(r.delivered.lan));
    put("WANIP6", Recorded(r.delivered.wan6));
    put("LANIP6", Recorded(r.delivered.lan6));
    put("DeliveredAt", std::to_string(r.deliveredAt));
    put("Failures", std::to_string(r.failures));
    put("RetryAt", std::to_string(r.retryAt));
    put("StoppedFor", r.stoppedFor.substr(0, 256));
    put("StopReason", r.stopReason.substr(0, 256));
    return ok;
}

std::int64_t RetryBackoffSeconds(int failures) {
    std::int64_t wait = kFirstRetryBackoffSeconds;
    for (int i = 0; i < failures && wait < kLongestRetryBackoffSeconds; ++i) wait *= 2;
    return wait < kLongestRetryBackoffSeconds ? wait : kLongestRetryBackoffSeconds;
}

std::string ClampFutureTimes(ChannelRecord& record, std::int64_t now) {
    const std::int64_t bound = now + kLongestRetryBackoffSeconds;
    const auto when = [](std::int64_t t) { return LocalTimeText(static_cast<std::time_t>(t), "%m/%d/%Y %H:%M:%S"); };
    std::string said;
    const auto clamp = [&](const char* key, std::int64_t& value, std::int64_t to) {
        if (value <= bound) return;
        said += std::string(said.empty() ? "" : "; ") + Text<Msg::RecordTimeTaken>(key, when(value), when(to));
        value = to;
    };
    clamp("RetryAt", record.retryAt, bound);
    clamp("DeliveredAt", record.deliveredAt, now);
    if (said.empty()) return said;
    return Text<Msg::RecordInFuture>(said);
}

bool HeldBack(const ChannelRecord& record, const std::string& fingerprint, std::int64_t now, bool forced) {
    if (!record.stoppedFor.empty() && record.stoppedFor == fingerprint) return true;
    return !forced && record.retryAt > now;
}

void RecordResult(ChannelRecord& record, const DeliveryResult& result, const AddressSet& delivered,
                  const std::string& fingerprint, std::int64_t now) {
    switch (result.outcome) {
        case DeliveryOutcome::Delivered:
        case DeliveryOutcome::NothingToDo:
            // A peer that was only asked and already held what it last got
            // leaves the record as it is: the refresh writes nothing.
            if (result.sentNothing && Clean(record) && record.everDelivered() &&
                record.delivered == RecordedForm(delivered))
                return;
            record.delivered = RecordedForm(delivered);
            record.deliveredAt = now;
            record.failures = 0;
            record.retryAt = 0;
            record.stoppedFor.clear();
            record.stopReason.clear();
            return;
        case DeliveryOutcome::Failed:
            ++record.failures;
            record.retryAt = result.retryAt;
            return;
        case DeliveryOutcome::FailedPermanently: {
            ++record.failures;
            record.retryAt = 0;
            record.stoppedFor = fingerprint;
            std::string reason = result.code;
            for (const std::string* part : {&result.step, &result.serverReply})
                if (!part->empty()) reason += (reason.empty() ? "" : " ") + *part;
            // One line in the settings file, whatever the peer said.
            for (char& c : reason)
                if (c == '\r' || c == '\n') c = ' ';
            record.stopReason = reason;
            return;
        }
    }
}

bool ChangedSinceDelivery(const RefreshSnapshot& snapshot, const ChannelRecord& record) {
    if (record.failures > 0) return true;
    const AddressSet& last = record.everDelivered() ? record.delivered : snapshot.previous;
    // What reached the peer against what would be published now: an unknown
    // WAN address is a state to publish ("UpdateOnNAIP").
    return ChangesBetween(RecordedForm(last), RecordedForm(snapshot.current), UnknownIs::Change).any();
}

DeliveryResult DeliveryResultOf(const TransferResult& transfer) {
    return {transfer.ok ? DeliveryOutcome::Delivered : DeliveryOutcome::Failed, transfer.code, transfer.step,
            transfer.serverReply, 0};
}

std::int64_t EpochSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

}  // namespace zelmar
