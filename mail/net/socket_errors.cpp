#include "mail/net/socket_errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zelmar::mail {

namespace {

constexpr const char* kFirewallBlocked = "Check to make sure the port is not blocked by a firewall.";
constexpr const char* kFirewallFilter =
    "Check to make sure the connection is not blocked by a firewall or anti-virus port filtering.";

// The errno values of a socket call whose cause the system names well; any
// other is logged by its number with the firewall hint.
constexpr int kKnown[] = {EACCES,     EINVAL,       EMFILE,     ENFILE,      EWOULDBLOCK, EINPROGRESS,
                          EPROTOTYPE, EPROTONOSUPPORT, ESOCKTNOSUPPORT, EAFNOSUPPORT, EADDRINUSE, ENETDOWN,
                          ENETUNREACH, ECONNABORTED, EPIPE,     ECONNRESET,  ENOBUFS,     ETIMEDOUT,
                          ECONNREFUSED, EHOSTUNREACH};

}  // namespace

SocketErrorText socketErrorText(int err) {
    for (const int known : kKnown) {
        if (known == err) return {std::strerror(err), err == EWOULDBLOCK ? kFirewallBlocked : nullptr};
    }
    return {nullptr, kFirewallFilter};
}

void logSocketError(int err, LogBase& log) {
    const SocketErrorText t = socketErrorText(err);
    if (t.text) {
        log.logData("SocketError", t.text);
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "Error %x", static_cast<unsigned>(err));
        log.logData("SocketError", text);
    }
    if (t.extraError) log.logError(t.extraError);
}

}  // namespace zelmar::mail
