// The composition root: the one place where the program is put together.
// Both front ends (the window in ui/gui_front_end.cpp, the headless and
// one-shot runs in app/main.cpp) build their core and then call
// InstallServices, so both run the same lookups, channels and observers.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/address/wan_source_list.h"

#include "app/refresh/refresh_pipeline.h"

namespace zelmar {
class Core;
class NetworkRefresh;

// The refresh pipeline with every lookup, channel family and observer of the
// program. A new channel family or observer is one line in it.
RefreshPipeline MakeRefreshPipeline();

// Installs the pipeline (by default the program's own) as the core's
// refresh services.
void InstallServices(Core& core, const RefreshPipeline& pipeline = MakeRefreshPipeline());

// Refreshes on network changes while the returned object lives; destroy it
// before the core.
std::shared_ptr<NetworkRefresh> WatchNetwork(Core& core);

// A "command:" WAN source run by the command hook's runner: its words split
// as the hook's are, no shell, the hook's time-out and output bound.
CommandAnswer RunAddressCommand(const std::string& line, std::chrono::milliseconds timeout);

// Start-up of the services that hold a connection of their own (the
// desktop's windows); headless, a missing display is reported on stderr.
void StartServices(bool headless);
}  // namespace zelmar
