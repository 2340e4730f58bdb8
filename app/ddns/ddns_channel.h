// The dynamic-DNS delivery channels: one per enabled "[DDNS <name>]" entry,
// each named "DDNS <name>", keeping its names on the machine's addresses.
//
// When an entry is due (ddns_policy.h: a changed address, 25 days since the
// last update, or for rfc2136 every refresh, since its own server is asked
// first) it sends the update its protocol defines and turns the answer into
// one result through the protocol's table: delivered, try again after a
// back-off of 5 minutes doubling to an hour, or stop until the entry's
// settings change. An entry whose settings cannot work (no host, an unknown
// protocol, no secret) stops at once with one line that says what is wrong.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ddns/ddns_entry.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

class DdnsChannel : public DeliveryChannel {
public:
    DdnsChannel(DdnsEntry entry, std::vector<std::string> problems, std::string fingerprint, int timeoutSeconds);

    std::string Name() const override { return entry_.SectionName(); }
    bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const override;
    DeliveryResult Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) override;
    std::string SettingsFingerprint() const override { return fingerprint_; }

    const DdnsEntry& entry() const { return entry_; }

private:
    DdnsEntry entry_;
    std::vector<std::string> problems_;
    std::string fingerprint_;
    int timeoutSeconds_;
    // The record Due was last asked with: Deliver follows right after it on
    // the same worker, and the back-off grows with its failure count.
    mutable ChannelRecord record_;
};

std::vector<std::unique_ptr<DeliveryChannel>> MakeDdnsChannels(const ChannelContext& ctx);

// One status line for a finished attempt ("DDNS home: ...").
std::string DdnsStatusLine(const DdnsEntry& e, const DeliveryResult& r, const std::string& addresses);

}  // namespace zelmar
