#include "app/composition_root.h"

#include <map>
#include <mutex>
#include <optional>

#include "app/address/lan_address.h"
#include "app/address/network_refresh.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "app/ddns/ddns_channel.h"
#include "app/monitor/program_monitor.h"
#include "app/notify/change_notifications.h"
#ifdef ZELMAR_HAVE_MAIL
#include "app/notify/notification_email.h"
#endif
#include "app/publish/publishing.h"

namespace zelmar {

namespace {

// The start-up phase of each core: from the first refresh until one gets a
// WAN address. The refresh's worker notes the WAN lookup's result; the
// observer hands it to the main thread, which gives it to the core's network
// watcher (made after the core's first refresh may already have ended: the
// verdict then waits here for it).
struct StartupPhase {
    bool wanFailed = false;        // worker: the last lookup's result
    std::optional<bool> verdict;   // main: a failure or success not yet handed over
    bool over = false;             // main: a refresh succeeded
    std::weak_ptr<NetworkRefresh> refresh;
};
std::mutex g_phasesMutex;
std::map<const Core*, StartupPhase> g_phases;

void NoteWanLookup(const Core& core, bool failed) {
    std::lock_guard<std::mutex> lock(g_phasesMutex);
    g_phases[&core].wanFailed = failed;
}

// Main thread: a refresh ended; failed as NetworkRefresh::StartupEnded.
void EndOfStartupRefresh(const Core& core, bool failed) {
    std::shared_ptr<NetworkRefresh> refresh;
    {
        std::lock_guard<std::mutex> lock(g_phasesMutex);
        StartupPhase& phase = g_phases[&core];
        if (phase.over) return;
        phase.over = !failed;
        refresh = phase.refresh.lock();
        if (!refresh) {
            phase.verdict = failed;
            return;
        }
    }
    refresh->StartupEnded(failed);
}

LookedUpAddresses LookUpAddresses(Core& core) {
    LookedUpAddresses found;
    const LookedUpAddress wan = LookUpWanAddress(core);
    found.previous.wan = wan.previous;
    found.current.wan = wan.current;
    found.ended = wan.ended;
    found.wanFailed = wan.failed;
    if (!wan.ended) NoteWanLookup(core, wan.failed);
    const LookedUpAddress lan = LookUpLanAddress(core);
    found.previous.lan = lan.previous;
    found.current.lan = lan.current;
    return found;
}

// The IPv6 addresses, after the IPv4 ones: their lines go to the refresh's
// reporter, their previous values are "LastWANIP6" and "LastLANIP6".
void LookUpIpv6Addresses(LookupContext& context, AddressSet& current, AddressSet& previous) {
    const LookedUpAddress wan6 = LookUpWanAddress6(context.settings, context.ini,
                                                   [&context](StatusMessage m) { context.reporter.Post(std::move(m)); });
    current.wan6 = wan6.current;
    previous.wan6 = wan6.previous;
    const LookedUpAddress lan6 = LookUpLanAddress6(context.ini, context.settings.LanInterface);
    current.lan6 = lan6.current;
    previous.lan6 = lan6.previous;
}

}  // namespace

RefreshPipeline MakeRefreshPipeline() {
    RefreshPipeline pipeline;
    pipeline.SetProgramCheck(CheckProgramStatuses);
    pipeline.SetProgramWords(CurrentProgramWords);

    // Addresses: the IPv4 lookups first, then any further ones in order,
    // each one line: pipeline.AddAddressLookup(LookUpXxx);
    pipeline.SetAddressLookup(LookUpAddresses);
    pipeline.AddAddressLookup(LookUpIpv6Addresses);

    // Delivery channels, in the order they deliver: the mail goes before the
    // page, whose upload decides the online state. A new channel family is
    // one line here: pipeline.AddChannelFactory(MakeXxxChannels);
#ifdef ZELMAR_HAVE_MAIL
    pipeline.AddChannelFactory(MakeMailChannels);
#endif
    pipeline.AddChannelFactory(MakeFtpChannels);
    pipeline.AddChannelFactory(MakeDdnsChannels);

    // Observers, told after every refresh: pipeline.AddObserver(...);
    return pipeline;
}

void InstallServices(Core& core, const RefreshPipeline& pipeline) {
    RefreshPipeline program = pipeline;
    // Webhooks, the address history and the command hook need this core.
    AddChangeNotifications(program, core);
    {
        std::lock_guard<std::mutex> lock(g_phasesMutex);
        g_phases[&core] = StartupPhase{};
    }
    // A start-up without a network (the WAN lookup failed, or no route at
    // all) is retried with a back-off rather than a whole interval later.
    Core* owner = &core;
    program.AddObserver([owner](const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>&) {
        if (snapshot.trigger == RefreshTrigger::Exit) return;
        bool failed = NetworkLooksDown();
        {
            std::lock_guard<std::mutex> lock(g_phasesMutex);
            failed = failed || g_phases[owner].wanFailed;
        }
        owner->host().PostToMain([owner, failed] { EndOfStartupRefresh(*owner, failed); });
    });
    core.SetServices(program.Services());
}

void StartServices(bool headless) { StartProgramMonitor(headless); }

std::shared_ptr<NetworkRefresh> WatchNetwork(Core& core) {
    auto refresh = std::make_shared<NetworkRefresh>(core);
    std::optional<bool> verdict;
    {
        std::lock_guard<std::mutex> lock(g_phasesMutex);
        StartupPhase& phase = g_phases[&core];
        phase.refresh = refresh;
        verdict = phase.verdict;
        phase.verdict.reset();
        if (phase.over) verdict = false;
    }
    if (verdict) refresh->StartupEnded(*verdict);
    return refresh;
}

}  // namespace zelmar
