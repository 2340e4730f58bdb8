#include "app/composition_root.h"

#include "app/address/lan_address.h"
#include "app/address/network_refresh.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "app/core/messages.h"
#include "app/ddns/ddns_channel.h"
#include "app/monitor/program_monitor.h"
#include "app/notify/change_notifications.h"
#include "app/notify/command_hook.h"
#ifdef ZELMAR_HAVE_MAIL
#include "app/notify/notification_email.h"
#endif
#include "app/publish/publishing.h"

namespace zelmar {

namespace {

// The WAN lookups with the command hook's runner for "command:" sources.
WanLookupOptions WanOptionsWithCommands() {
    WanLookupOptions options = DefaultWanLookupOptions();
    options.runCommand = RunAddressCommand;
    return options;
}

LookedUpAddresses LookUpAddresses(Core& core) {
    LookedUpAddresses found;
    const LookedUpAddress wan = LookUpWanAddress(core, WanOptionsWithCommands());
    found.previous.wan = wan.previous;
    found.current.wan = wan.current;
    found.ended = wan.ended;
    found.wanFailed = wan.failed;
    const LookedUpAddress lan = LookUpLanAddress(core);
    found.previous.lan = lan.previous;
    found.current.lan = lan.current;
    return found;
}

// The IPv6 addresses, after the IPv4 ones: their lines go to the refresh's
// reporter, their previous values are "LastWANIP6" and "LastLANIP6".
void LookUpIpv6Addresses(LookupContext& context, AddressSet& current, AddressSet& previous) {
    const LookedUpAddress wan6 = LookUpWanAddress6(context.settings, context.ini,
                                                   [&context](StatusMessage m) { context.reporter.Post(std::move(m)); },
                                                   WanOptionsWithCommands());
    current.wan6 = wan6.current;
    previous.wan6 = wan6.previous;
    const LookedUpAddress lan6 = LookUpLanAddress6(context.ini, context.settings.LanInterface);
    current.lan6 = lan6.current;
    previous.lan6 = lan6.previous;
}

}  // namespace

CommandAnswer RunAddressCommand(const std::string& line, std::chrono::milliseconds timeout) {
    CommandAnswer answer;
    HookRun run;
    if (!SplitCommandLine(line, run.argv, answer.problem)) return answer;
    run.timeout = timeout;
    const HookResult r = RunHook(run);
    if (!r.started) {
        answer.problem = Text<Msg::CommandNotStarted>(r.error);
    } else if (r.timedOut) {
        answer.problem =
            Text<Msg::CommandTimedOut>(std::chrono::duration_cast<std::chrono::seconds>(timeout).count());
    } else if (r.signal != 0) {
        answer.problem = Text<Msg::CommandSignalled>(r.signal);
    } else if (r.exitCode != 0) {
        answer.problem = Text<Msg::CommandExitCode>(r.exitCode);
    } else if (FirstLineOf(r.output).empty()) {
        answer.problem = Text<Msg::CommandSilent>();
    } else {
        answer.ok = true;
        answer.output = r.output;
    }
    return answer;
}

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
    // A start-up without a network (the WAN lookup failed, or no route at
    // all) is retried with a back-off rather than a whole interval later:
    // the main loop hears how each refresh went (NetworkRefresh listens).
    Core* owner = &core;
    program.AddObserver([owner](const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>&) {
        if (snapshot.trigger == RefreshTrigger::Exit) return;
        const bool failed = snapshot.wanFailed || NetworkLooksDown();
        owner->host().PostToMain([owner, failed] { owner->RefreshVerdict(failed); });
    });
    core.SetServices(program.Services());
}

void StartServices(bool headless) { StartProgramMonitor(headless); }

std::shared_ptr<NetworkRefresh> WatchNetwork(Core& core) { return std::make_shared<NetworkRefresh>(core); }

}  // namespace zelmar
