// The refresh pipeline: one refresh as a straight road.
//
//   look up the addresses -> RefreshSnapshot -> for each channel (in the order
//   the factories were added): load its record, ask Due, Deliver, store the
//   record -> the online state -> the observers
//
// The snapshot is the only carrier of the addresses from the lookups to the
// channels and observers. The pipeline holds no state of its own between
// refreshes: the channels' records are in the settings file, and the
// channels are built anew for every refresh from the settings of that moment.
//
// The program builds one pipeline in its composition root
// (app/composition_root.cpp) and hands it to the core as its RefreshServices.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/core.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

// The IPv4 lookups: the last real addresses ("LastWANIP"/"LastLANIP") and
// what this refresh finds. ended: the address service told the program to
// end (it is closing; nothing is delivered). wanFailed: no WAN address was
// had.
struct LookedUpAddresses {
    AddressSet current;
    AddressSet previous;
    bool ended = false;
    // The WAN lookup failed: current.wan is then unknown.
    bool wanFailed = false;

    // Whether this refresh knows the WAN address: what reaches the online
    // state when no channel decides it.
    bool WanKnown() const { return !wanFailed && current.wan.known(); }
};

// What a further lookup (the IPv6 addresses) may use. It reads and writes its
// own keys in ini and reports through reporter.
struct LookupContext {
    const Settings& settings;
    IniFile& ini;
    const std::string& startDirectory;
    Reporter& reporter;
};
// Fills its members of current and previous (wan6, lan6, ...).
using AddressLookup = std::function<void(LookupContext&, AddressSet& current, AddressSet& previous)>;

class RefreshPipeline {
public:
    // The WAN and LAN lookups of a refresh (worker).
    void SetAddressLookup(std::function<LookedUpAddresses(Core&)> lookup) { lookup_ = std::move(lookup); }
    // Further lookups, run after the IPv4 ones in the order added.
    void AddAddressLookup(AddressLookup lookup) { lookups_.push_back(std::move(lookup)); }
    // The check of the watched programs before a refresh (main loop; true
    // when one changed), and their words as the page and the mail show them
    // (worker).
    void SetProgramCheck(std::function<bool(Core&)> check) { programCheck_ = std::move(check); }
    void SetProgramWords(std::function<std::vector<ProgramStatusEntry>(Core&)> words) {
        programWords_ = std::move(words);
    }
    // The address history's changes so far, for the snapshot (its owner
    // keeps it in memory).
    void SetHistory(std::function<std::vector<AddressChange>()> history) { history_ = std::move(history); }
    // Channels deliver in the order their factories were added.
    void AddChannelFactory(ChannelFactory factory) { factories_.push_back(std::move(factory)); }
    void AddObserver(RefreshObserver observer) { observers_.push_back(std::move(observer)); }

    // The services the core runs (the pipeline is copied into them).
    RefreshServices Services() const;

    // One refresh on the worker, as RefreshServices::Refresh.
    void RunRefresh(Core& core, std::shared_ptr<IniBatch> storeBatch, RefreshStart start) const;
    // The exit publication, as RefreshServices::PublishOffline.
    int RunExit(Core& core) const;

    // One channel as a refresh runs it: its record read, held back or asked
    // whether it is due, delivered, and the record stored in ini.
    static ChannelOutcome RunChannel(IniFile& ini, DeliveryChannel& channel, const RefreshSnapshot& snapshot,
                                     Reporter& reporter);

    // The longest one refresh may take with the settings of this moment,
    // as RefreshServices::TimeBudget: one "Timeout" for the IPv4 lookups and
    // one for each further lookup, and the deadline of every channel the
    // settings enable.
    std::chrono::seconds TimeBudget(Core& core) const;

    // The lines of the enabled channels that decide the online state and
    // lack settings, as RefreshServices::IncompleteSettings.
    std::vector<StatusMessage> IncompleteSettings(Core& core) const;

private:
    // Calls each with the channels of every family, built from the settings
    // of this moment with what a family keeps from the refresh's start
    // (Core::ChannelSettings); false from each
    // stops the walk.
    bool ForEachChannel(Core& core, const std::function<bool(DeliveryChannel&)>& each) const;
    LookedUpAddresses LookUp(Core& core, Reporter& reporter) const;
    RefreshSnapshot Snapshot(Core& core, const LookedUpAddresses& found, const RefreshStart& start) const;
    // Runs every channel; the outcome of the channel that decides the online
    // state is put into page (channel empty: there is none; attempted false:
    // it was not delivered). False when the program closed midway.
    bool DeliverAll(Core& core, const RefreshSnapshot& snapshot, Reporter& reporter,
                    std::vector<ChannelOutcome>& outcomes, ChannelOutcome& page) const;
    void Tell(const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>& outcomes) const;

    std::function<LookedUpAddresses(Core&)> lookup_;
    std::vector<AddressLookup> lookups_;
    std::function<bool(Core&)> programCheck_;
    std::function<std::vector<ProgramStatusEntry>(Core&)> programWords_;
    std::function<std::vector<AddressChange>()> history_;
    std::vector<ChannelFactory> factories_;
    std::vector<RefreshObserver> observers_;
};

// The Reporter of a refresh on the core: status lines go the core's status
// road, boxes to the main loop.
class CoreReporter : public Reporter {
public:
    explicit CoreReporter(Core& core) : core_(core) {}
    void Post(StatusMessage message) override;
    MbAnswer ErrorBox(const MessageBoxRequest& request) override;
    bool Closing() const override;
    MbAnswer MessageBox(const MessageBoxRequest& request) override;
    void PostErrorBox(const MessageBoxRequest& request, bool showEmailOptions) override;

private:
    Core& core_;
};

}  // namespace zelmar
