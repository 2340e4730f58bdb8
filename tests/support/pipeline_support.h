// Pieces for tests of the refresh pipeline and its channels: lookups that
// report what the test put into the core, snapshots made the same way, and a
// channel whose decisions the test scripts.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/core.h"
#include "app/refresh/refresh_pipeline.h"

namespace zelmar::test {

// The lookups' result as the test set the core's addresses.
inline LookedUpAddresses AddressesInState(Core& core) {
    LookedUpAddresses found;
    found.current.wan = core.state().CurrentWanAddress.get();
    found.current.lan = core.state().CurrentLanAddress.get();
    found.previous.wan = core.state().LastWanAddress.get();
    found.previous.lan = core.state().LastLanAddress.get();
    return found;
}

// A refresh's snapshot of those addresses, with the trigger the core's flags
// stand for (the exit's when the state word is "Offline").
inline RefreshSnapshot SnapshotOfState(Core& core) {
    const LookedUpAddresses found = AddressesInState(core);
    RefreshSnapshot snapshot;
    snapshot.current = found.current;
    snapshot.previous = found.previous;
    snapshot.programStatusChanged = core.state().ProgramStatusChanged != 0;
    snapshot.time = core.host().Now();
    snapshot.trigger = core.state().StatusWord.get() == "Offline" ? RefreshTrigger::Exit
                                                                 : RefreshPipeline::TriggerOf(core.state());
    return snapshot;
}

// One channel run as a refresh runs it, on the core's addresses.
inline ChannelOutcome RunChannelOnState(Core& core, DeliveryChannel& channel) {
    CoreReporter reporter(core);
    return RefreshPipeline::RunChannel(core.ini(), channel, SnapshotOfState(core), reporter);
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
