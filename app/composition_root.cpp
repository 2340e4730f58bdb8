#include "app/composition_root.h"

#include "app/address/lan_address.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "app/monitor/program_monitor.h"
#include "app/notify/change_notifications.h"
#ifdef ZELMAR_HAVE_MAIL
#include "app/notify/notification_email.h"
#endif
#include "app/publish/publishing.h"

namespace zelmar {

namespace {

LookedUpAddresses LookUpAddresses(Core& core) {
    LookedUpAddresses found;
    const LookedUpAddress wan = LookUpWanAddress(core);
    found.previous.wan = wan.previous;
    found.current.wan = wan.current;
    found.ended = wan.ended;
    const LookedUpAddress lan = LookUpLanAddress(core);
    found.previous.lan = lan.previous;
    found.current.lan = lan.current;
    return found;
}

}  // namespace

RefreshPipeline MakeRefreshPipeline() {
    RefreshPipeline pipeline;
    pipeline.SetProgramCheck(CheckProgramStatuses);
    pipeline.SetProgramWords(CurrentProgramWords);

    // Addresses: the IPv4 lookups first, then any further ones in order,
    // each one line: pipeline.AddAddressLookup(LookUpXxx);
    pipeline.SetAddressLookup(LookUpAddresses);

    // Delivery channels, in the order they deliver: the mail goes before the
    // page, whose upload decides the online state. A new channel family is
    // one line here: pipeline.AddChannelFactory(MakeXxxChannels);
#ifdef ZELMAR_HAVE_MAIL
    pipeline.AddChannelFactory(MakeMailChannels);
#endif
    pipeline.AddChannelFactory(MakeFtpChannels);

    // Observers, told after every refresh: pipeline.AddObserver(...);
    return pipeline;
}

void InstallServices(Core& core, const RefreshPipeline& pipeline) {
    RefreshPipeline program = pipeline;
    // Webhooks, the address history and the command hook need this core.
    AddChangeNotifications(program, core);
    core.SetServices(program.Services());
}

void StartServices(bool headless) { StartProgramMonitor(headless); }

}  // namespace zelmar
