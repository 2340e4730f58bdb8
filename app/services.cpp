#include "app/services.h"

#include "app/address/lan_address.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "app/monitor/program_monitor.h"

namespace zelmar {

void InstallServices(Core& core) {
    RefreshServices services;
    services.GetWanAddress = [](Core& c) { GetWanAddress(c); };
    services.GetLanAddress = [](Core& c) { GetLanAddress(c); };
    services.CheckProgramStatuses = [](Core& c) { CheckProgramStatuses(c); };
    core.SetServices(std::move(services));
}

}  // namespace zelmar
