// The one rule for a time limit given in whole seconds ("Timeout", a
// webhook's own "Timeout", a hook's): 0 or less means the default. Every
// request the program makes goes through it, so "Timeout=0" gives the
// echo page, FTP, SMTP, dynamic DNS, webhooks and the hook the same limit.
#pragma once

namespace zelmar {

inline constexpr int kDefaultTimeoutSeconds = 15;

constexpr int TimeoutOrDefault(int seconds) { return seconds > 0 ? seconds : kDefaultTimeoutSeconds; }

}  // namespace zelmar
