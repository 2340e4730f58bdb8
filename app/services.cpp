#include "app/services.h"

#include "app/address/lan_address.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "app/monitor/program_monitor.h"
#ifdef ZELMAR_HAVE_MAIL
#include "app/notify/notification_email.h"
#endif
#include "app/publish/publishing.h"

namespace zelmar {

void InstallServices(Core& core) {
    RefreshServices services;
    services.GetWanAddress = [](Core& c) { GetWanAddress(c); };
    services.GetLanAddress = [](Core& c) { GetLanAddress(c); };
    services.CheckProgramStatuses = [](Core& c) { CheckProgramStatuses(c); };
#ifdef ZELMAR_HAVE_MAIL
    services.SendNotificationEmail = [](Core& c) { SendNotificationEmail(c); };
#endif
    services.PublishOnlinePage = [](Core& c) { PublishOnlinePage(c); };
    // The exit publication runs the same lookups and e-mail step as a refresh.
    services.PublishOffline = [](Core& c) { return PublishOffline(c, c.services()); };
    core.SetServices(std::move(services));
}

void StartServices(bool headless) { StartProgramMonitor(headless); }

}  // namespace zelmar
