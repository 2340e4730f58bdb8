// Socket error texts of the mail component's operation log.
//
// The log speaks in the system's own words (strerror) for the errno values a
// socket call is known to give; any other value is "Error %x".
#pragma once

#include "mail/base/log_base.h"

namespace zelmar::mail {

// The text for an errno value, and whether the firewall hint that goes with
// "would block" and with unknown errors should follow it.
struct SocketErrorText {
    const char* text;          // null for an errno not known here
    const char* extraError;    // an error line logged after the text, or null
};
SocketErrorText socketErrorText(int err);

// Logs the text as the data entry "SocketError" (and the extra error line).
void logSocketError(int err, LogBase& log);

}  // namespace zelmar::mail
