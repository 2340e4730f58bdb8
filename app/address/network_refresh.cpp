#include "app/address/network_refresh.h"

#include "app/core/core.h"
#include "app/core/messages.h"

namespace zelmar {

NetworkRefresh::NetworkRefresh(Core& core, std::chrono::milliseconds quiet)
    : watcher_(quiet, [&core] {
          core.host().PostToMain([&core] {
              if (core.closed() || core.settings().RefreshOnNetworkChange != 1) return;
              core.PostStatusMessage(Message(Msg::NetworkChanged));
              core.RefreshNow();
          });
      }) {
    std::string error;
    watching_ = watcher_.Start(&error);
}

// The watcher's thread ends here, before the core it posts to.
NetworkRefresh::~NetworkRefresh() { watcher_.Stop(); }

}  // namespace zelmar
