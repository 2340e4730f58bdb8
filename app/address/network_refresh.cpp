#include "app/address/network_refresh.h"

#include "app/core/core.h"
#include "app/core/messages.h"

namespace zelmar {

NetworkRefresh::NetworkRefresh(Core& core, std::chrono::milliseconds quiet)
    : core_(core),
      watcher_(quiet,
               [&core] {
                   core.host().PostToMain([&core] {
                       if (core.closed() || core.settings().RefreshOnNetworkChange != 1) return;
                       core.PostStatusMessage(Message(Msg::NetworkChanged));
                       core.RefreshNow();
                   });
               }),
      backoff_(StartupBackoffFor(core.settings().RefreshIntv)) {
    // A retry that meets a refresh still running is dropped: that refresh
    // ends in StartupEnded and schedules the next one itself.
    watcher_.SetRetryHandler([&core] {
        core.host().PostToMain([&core] {
            if (!core.closed()) core.RefreshNow();
        });
    });
    std::string error;
    watching_ = watcher_.Start(&error);
    // The first refresh may have ended before the watch began: its verdict
    // (or the success of any one) counts as if heard now.
    core.SetRefreshVerdictListener([this](bool failed) { StartupEnded(failed); });
    if (const std::optional<bool> verdict = core.refreshVerdict()) StartupEnded(*verdict);
}

// The watcher's thread ends here, before the core it posts to.
NetworkRefresh::~NetworkRefresh() {
    core_.SetRefreshVerdictListener(nullptr);
    watcher_.Stop();
}

void NetworkRefresh::StartupEnded(bool failed) {
    if (startupOver_) return;
    if (!failed) {
        startupOver_ = true;
        watcher_.CancelRetry();
        return;
    }
    if (watching_) watcher_.RetryIn(backoff_.Next());
}

}  // namespace zelmar
