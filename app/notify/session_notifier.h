// Desktop notifications without the window: the notes of desktop_notes.h
// sent to the desktop's notification service (org.freedesktop.Notifications)
// over the session bus with GDBus, for "--headless" in a desktop session (a
// systemd user unit, say). GIO is loaded at the first note, as the keyring
// loads it, so a run without a session bus never maps it; no toolkit is
// involved.
#pragma once

#include <functional>
#include <string>

#include "app/notify/desktop_notes.h"

namespace zelmar {

// True when the environment names a session bus (DBUS_SESSION_BUS_ADDRESS,
// or the user's bus socket in XDG_RUNTIME_DIR).
bool SessionBusNamed();

// Sends one note and waits for the service's answer (at most timeoutMs);
// false with the reason in why when no service took it.
bool SendSessionNote(const DesktopNote& note, std::string& why, int timeoutMs = 5000);

// The refresh observer: plans the notes of every refresh and, when enabled()
// (asked on the worker), sends them. The first failure to reach the service
// is said once through post; later ones are not.
RefreshObserver MakeSessionNotifier(std::function<bool()> enabled, std::function<void(StatusMessage)> post);

}  // namespace zelmar
