// What the main loop hands a refresh when it lets it through. It travels by
// value into the refresh's snapshot: nothing of it is kept where the worker
// and the main loop would both reach it.
#pragma once

namespace zelmar {

// What started a refresh. Timer covers a scheduled tick and a one-shot
// "--once" run; Manual the "&Refresh" command and "--once --force"; Startup
// the first refresh after the start-up delay with "IsUpdateOnStart"; Exit the
// offline publication; NetworkChange a refresh raised by the kernel's
// address or route events.
enum class RefreshTrigger { Timer, Manual, Startup, Exit, NetworkChange };

struct RefreshStart {
    RefreshTrigger trigger = RefreshTrigger::Timer;
    // The check of the watched programs just before the refresh found a
    // program whose word changed.
    bool programStatusChanged = false;
};

}  // namespace zelmar
