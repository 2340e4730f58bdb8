// Pieces for tests of the refresh pipeline and its channels: lookups that
// report the addresses a test chose, snapshots made the same way, and a
// channel whose decisions the test scripts.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/core.h"
#include "app/refresh/refresh_pipeline.h"

namespace zelmar::test {

// The addresses a test's refresh finds in place of the real lookups; offline:
// the page is the exit's. start: what the main loop let the refresh through
// with.
struct StubAddresses {
    AddressSet current;
    AddressSet previous;
    bool offline = false;
    RefreshStart start{};
};

// A lookup that reports them as they stand at each refresh.
inline std::function<LookedUpAddresses(Core&)> LookupOf(std::shared_ptr<const StubAddresses> a) {
    return [a](Core&) {
        LookedUpAddresses found;
        found.current = a->current;
        found.previous = a->previous;
        return found;
    };
}

// A refresh's snapshot of them, with the trigger it was let through with.
inline RefreshSnapshot SnapshotOf(Core& core, const StubAddresses& a) {
    RefreshSnapshot snapshot;
    snapshot.current = a.current;
    snapshot.previous = a.previous;
    snapshot.programStatusChanged = a.start.programStatusChanged;
    snapshot.time = core.host().Now();
    snapshot.trigger = a.offline ? RefreshTrigger::Exit : a.start.trigger;
    return snapshot;
}

// One channel run as a refresh runs it, on those addresses.
inline ChannelOutcome RunChannelOn(Core& core, DeliveryChannel& channel, const StubAddresses& a) {
    CoreReporter reporter(core);
    return RefreshPipeline::RunChannel(core.ini(), channel, SnapshotOf(core, a), reporter);
}

// A channel whose Due and Deliver are the test's (always due and delivered
// when not given).
class ScriptedChannel : public DeliveryChannel {
public:
    using DueFn = std::function<bool(const RefreshSnapshot&, const ChannelRecord&)>;
    using DeliverFn = std::function<DeliveryResult(const RefreshSnapshot&, Reporter&)>;
    ScriptedChannel(std::string name, DeliverFn deliver, DueFn due = {}, bool decidesOnline = false)
        : name_(std::move(name)), deliver_(std::move(deliver)), due_(std::move(due)), decides_(decidesOnline) {}
    std::string Name() const override { return name_; }
    bool Due(const RefreshSnapshot& s, const ChannelRecord& r) const override { return due_ ? due_(s, r) : true; }
    DeliveryResult Deliver(const RefreshSnapshot& s, Reporter& r) override {
        return deliver_ ? deliver_(s, r) : DeliveryResult::Success();
    }
    bool DecidesOnlineState() const override { return decides_; }

private:
    std::string name_;
    DeliverFn deliver_;
    DueFn due_;
    bool decides_;
};

// A factory of one channel per refresh.
template <class Make>
ChannelFactory OneChannel(Make make) {
    return [make](const ChannelContext& context) {
        std::vector<std::unique_ptr<DeliveryChannel>> channels;
        channels.push_back(make(context));
        return channels;
    };
}

}  // namespace zelmar::test
