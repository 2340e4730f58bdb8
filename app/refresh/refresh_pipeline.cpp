#include "app/refresh/refresh_pipeline.h"

#include "app/core/ini_file.h"
#include "app/refresh/channel_record.h"
#include "app/core/messages.h"
#include "net/default_timeout.h"

namespace zelmar {

RefreshServices RefreshPipeline::Services() const {
    auto self = std::make_shared<const RefreshPipeline>(*this);
    RefreshServices services;
    if (programCheck_) services.CheckProgramStatuses = programCheck_;
    services.Refresh = [self](Core& core, std::shared_ptr<IniBatch> batch, RefreshStart start) {
        self->RunRefresh(core, std::move(batch), start);
    };
    services.PublishOffline = [self](Core& core) { return self->RunExit(core); };
    services.IncompleteSettings = [self](Core& core) { return self->IncompleteSettings(core); };
    services.TimeBudget = [self](Core& core) { return self->TimeBudget(core); };
    return services;
}

std::chrono::seconds RefreshPipeline::TimeBudget(Core& core) const {
    const Settings settings = core.settings();
    const std::chrono::seconds step(TimeoutOrDefault(settings.Timeout));
    std::chrono::seconds total = step * static_cast<long>((lookup_ ? 1 : 0) + lookups_.size());
    ForEachChannel(core, [&](DeliveryChannel& channel) {
        total += channel.Deadline(step);
        return true;
    });
    return total;
}

LookedUpAddresses RefreshPipeline::LookUp(Core& core, Reporter& reporter) const {
    LookedUpAddresses found = lookup_ ? lookup_(core) : LookedUpAddresses{};
    if (!lookups_.empty() && !found.ended) {
        const Settings settings = core.settings();
        LookupContext context{settings, core.ini(), core.startDirectory(), reporter};
        for (const AddressLookup& lookup : lookups_) lookup(context, found.current, found.previous);
    }
    return found;
}

RefreshSnapshot RefreshPipeline::Snapshot(Core& core, const LookedUpAddresses& found,
                                          const RefreshStart& start) const {
    RefreshSnapshot snapshot;
    snapshot.current = found.current;
    snapshot.previous = found.previous;
    snapshot.wanFailed = found.wanFailed;
    if (programWords_) snapshot.programs = programWords_(core);
    if (history_) snapshot.history = history_();
    snapshot.programStatusChanged = start.programStatusChanged;
    snapshot.time = core.host().Now();
    snapshot.trigger = start.trigger;
    return snapshot;
}

bool RefreshPipeline::ForEachChannel(Core& core, const std::function<bool(DeliveryChannel&)>& each) const {
    for (const ChannelFactory& factory : factories_) {
        // Built only now, so that a family sees the settings as the channels
        // before it left them (every status line commits the pages' edits),
        // with what a family keeps from the refresh's start.
        const Settings settings = core.ChannelSettings();
        const ChannelContext context{settings, core.ini(), core.startDirectory(), core.scrambleKey()};
        for (const std::unique_ptr<DeliveryChannel>& channel : factory(context))
            if (channel && !each(*channel)) return false;
    }
    return true;
}

std::vector<StatusMessage> RefreshPipeline::IncompleteSettings(Core& core) const {
    std::vector<StatusMessage> lines;
    ForEachChannel(core, [&](DeliveryChannel& channel) {
        if (channel.DecidesOnlineState())
            if (std::optional<StatusMessage> line = channel.MissingSettings()) lines.push_back(std::move(*line));
        return true;
    });
    return lines;
}

bool RefreshPipeline::DeliverAll(Core& core, const RefreshSnapshot& snapshot, Reporter& reporter,
                                 std::vector<ChannelOutcome>& outcomes, ChannelOutcome& page) const {
    const bool stopWhenClosed = snapshot.trigger != RefreshTrigger::Exit;
    bool pageSeen = false;
    return ForEachChannel(core, [&](DeliveryChannel& channel) {
        // The program closed meanwhile: nobody would see the rest.
        if (stopWhenClosed && core.closed()) return false;
        ChannelOutcome outcome = RunChannel(core.ini(), channel, snapshot, reporter);
        // The start-up refresh's forced upload is done once it was tried;
        // the main loop, which owes it, is told.
        if (channel.DecidesOnlineState() && outcome.attempted) core.SendOnlineChannelTried();
        if (channel.DecidesOnlineState() && !pageSeen) {
            pageSeen = true;
            page = outcome;
        }
        outcomes.push_back(std::move(outcome));
        return true;
    });
}

ChannelOutcome RefreshPipeline::RunChannel(IniFile& ini, DeliveryChannel& channel, const RefreshSnapshot& snapshot,
                                           Reporter& reporter) {
    ChannelOutcome outcome;
    outcome.channel = channel.Name();
    ChannelRecord record = LoadChannelRecord(ini, outcome.channel);
    const std::string fingerprint = channel.SettingsFingerprint();
    const std::int64_t now = EpochSeconds(snapshot.time);
    // Settings it cannot deliver with: said, skipped, and its record left
    // as it is (nothing was tried).
    if (std::optional<StatusMessage> line = channel.MissingSettings()) {
        reporter.Post(std::move(*line));
        outcome.attempted = true;
        outcome.result = {DeliveryOutcome::Failed, "settings", "settings", {}, 0};
        return outcome;
    }
    // Said once: the record is stored with the times brought back.
    if (const std::string clamped = ClampFutureTimes(record, now); !clamped.empty()) {
        reporter.Post(Message<Msg::ChannelNote>(outcome.channel, clamped));
        StoreChannelRecord(ini, outcome.channel, record);
    }
    if (HeldBack(record, fingerprint, now, snapshot.forced()) || !channel.Due(snapshot, record)) {
        channel.Skipped(snapshot);
        return outcome;
    }
    outcome.attempted = true;
    outcome.result = channel.Deliver(snapshot, reporter);
    RecordResult(record, outcome.result, snapshot.current, fingerprint, now);
    StoreChannelRecord(ini, outcome.channel, record);
    return outcome;
}

void RefreshPipeline::Tell(const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>& outcomes) const {
    for (const RefreshObserver& observer : observers_) observer(snapshot, outcomes);
}

void RefreshPipeline::RunRefresh(Core& core, std::shared_ptr<IniBatch> storeBatch, RefreshStart start) const {
    CoreReporter reporter(core);
    const LookedUpAddresses found = LookUp(core, reporter);
    // The program closed meanwhile (an exit, or the service retired this
    // version): nobody would see the rest, so nothing is delivered.
    if (core.closed()) return;
    core.SendRefreshEnabled(false);
    core.state().TransferInProgress = 1;

    const RefreshSnapshot snapshot = Snapshot(core, found, start);
    std::vector<ChannelOutcome> outcomes;
    ChannelOutcome page;
    if (!DeliverAll(core, snapshot, reporter, outcomes, page)) {
        core.state().TransferInProgress = 0;
        return;
    }
    // The addresses, the program statuses and the records of this refresh
    // reach the settings file in one write.
    storeBatch.reset();
    if (page.attempted)
        core.EndUpload(page.result.ok(), snapshot.current, snapshot.trigger);
    else if (!page.channel.empty() || found.WanKnown())
        core.FinishOnline(snapshot.current, snapshot.trigger);
    else
        core.EndUpload(false, snapshot.current, snapshot.trigger);
    Tell(snapshot, outcomes);
}

int RefreshPipeline::RunExit(Core& core) const {
    core.SendShutdownWindow(true);
    // The run that set the flag owns it and will clear it.
    if (core.state().TransferInProgress != 0) return -1;
    // Nothing looked at the watched programs for the exit: a change the
    // last refresh found was delivered by that refresh.
    RefreshStart start;
    start.trigger = RefreshTrigger::Exit;
    CoreReporter reporter(core);
    const LookedUpAddresses found = LookUp(core, reporter);
    core.SendRefreshEnabled(false);
    core.SendRefreshEnabled(false);
    core.state().TransferInProgress = 1;

    const RefreshSnapshot snapshot = Snapshot(core, found, start);
    std::vector<ChannelOutcome> outcomes;
    ChannelOutcome page;
    DeliverAll(core, snapshot, reporter, outcomes, page);
    if (page.attempted && !page.result.ok()) {
        core.EndUpload(false);
        Tell(snapshot, outcomes);
        return -1;
    }
    core.state().TransferInProgress = 0;
    // OnlineState before the message, so the tray follows it as it does for
    // the online notice.
    core.state().OnlineState = 1;
    core.PostStatusMessage(OfflineNotice());
    Tell(snapshot, outcomes);
    if (core.state().ExitAnyway == 0) core.SendExitRequest();
    return 1;
}

void CoreReporter::Post(StatusMessage message) { core_.PostStatusMessage(std::move(message)); }

MbAnswer CoreReporter::ErrorBox(const MessageBoxRequest& request) { return core_.ErrorBox(request); }

bool CoreReporter::Closing() const { return core_.closed(); }

MbAnswer CoreReporter::MessageBox(const MessageBoxRequest& request) { return core_.MessageBox(request); }

void CoreReporter::PostErrorBox(const MessageBoxRequest& request, bool showEmailOptions) {
    if (core_.settings().SuppressError == 1) return;
    Core* core = &core_;
    core_.host().PostToMain([core, request, showEmailOptions] {
        core->host().MessageBox(request);
        if (showEmailOptions) core->host().ShowEmailOptionsPage();
    });
}

}  // namespace zelmar
