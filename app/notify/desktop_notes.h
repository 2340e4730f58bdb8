// What the desktop is told after a refresh: an address that changed, a
// delivery channel that failed, and one that works again. The window sends
// these through the desktop's notification service (ui/desktop_notifier.h);
// deciding what to say needs no toolkit and lives here.
//
// A channel that keeps failing is reported once, at its first failure, not
// at every retry; its recovery is reported once too.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "app/refresh/delivery_channel.h"

namespace zelmar {

struct DesktopNote {
    std::string summary;
    std::string body;  // notification markup: what came from outside is escaped
    bool critical = false;  // a failure: the service may keep it on screen
};

class DesktopNotePlanner {
public:
    std::vector<DesktopNote> Plan(const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>& outcomes);

private:
    std::set<std::string> failing_;
};

}  // namespace zelmar
