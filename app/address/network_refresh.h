// A running program's refresh on network changes: the watcher's call
// (network_watcher.h) is posted to the main thread, which starts a refresh
// when "RefreshOnNetworkChange" is 1 at that moment. A refresh already
// running lets the call pass, as the timer's would.
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

private:
    NetworkWatcher watcher_;
    bool watching_ = false;
};

}  // namespace zelmar
