// A running program's refresh on network changes: the watcher's call
// (network_watcher.h) is posted to the main thread, which starts a refresh
// when "RefreshOnNetworkChange" is 1 at that moment. A refresh already
// running lets the call pass, as the timer's would.
//
// It also retries a start-up refresh that found no network (StartupEnded):
// 5 s, 10 s, 20 s ... up to the refresh interval, until one succeeds.
#pragma once

#include <memory>

#include "app/address/network_watcher.h"

namespace zelmar {

class Core;

class NetworkRefresh {
public:
    // Starts watching; a machine without rtnetlink keeps its timer alone.
    explicit NetworkRefresh(Core& core, std::chrono::milliseconds quiet = std::chrono::seconds(2));
    ~NetworkRefresh();
    NetworkRefresh(const NetworkRefresh&) = delete;
    NetworkRefresh& operator=(const NetworkRefresh&) = delete;

    bool watching() const { return watching_; }

    // Main thread: a refresh of the start-up phase ended. failed: it got no
    // WAN address or the network looked down; the refresh is tried again
    // after the next back-off step. A success ends the phase for good.
    void StartupEnded(bool failed);
    bool startupOver() const { return startupOver_; }

private:
    Core& core_;
    NetworkWatcher watcher_;
    StartupBackoff backoff_;
    bool watching_ = false;
    bool startupOver_ = false;
};

}  // namespace zelmar
