#include "mail/net/socket_errors.h"

#include <cerrno>
#include <cstdio>

namespace zelmar::mail {

namespace {

constexpr const char* kFirewallBlocked = "Check to make sure the port is not blocked by a firewall.";
constexpr const char* kFirewallFilter =
    "Check to make sure the connection is not blocked by a firewall or anti-virus port filtering.";

struct Row {
    int err;
    int wsa;
    const char* text;
};

// errno values with a Windows Sockets counterpart, and that counterpart's text.
constexpr Row kRows[] = {
    {EACCES, 10013, "WSAEACCES An attempt was made to access a socket in a way forbidden by its access permissions."},
    {EINVAL, 10022, "WSAEINVAL An invalid argument was supplied."},
    {EMFILE, 10024, "WSAEMFILE No more socket descriptors are available."},
    {ENFILE, 10024, "WSAEMFILE No more socket descriptors are available."},
    {EWOULDBLOCK, 10035, "WSAEWOULDBLOCK The socket would block."},
    {EINPROGRESS, 10036,
     "WSAEINPROGRESS A blocking Windows Sockets 1.1 call is in progress, or the service provider is still "
     "processing a callback function."},
    {EPROTOTYPE, 10041, "WSAEPROTOTYPE The specified protocol is the wrong type for this socket."},
    {EPROTONOSUPPORT, 10043, "WSAEPROTONOSUPPORT The specified protocol is not supported."},
    {ESOCKTNOSUPPORT, 10044, "WSAESOCKTNOSUPPORT The specified socket type is not supported in this address family."},
    {EAFNOSUPPORT, 10047, "WSAEAFNOSUPPORT The specified address family is not supported."},
    {EADDRINUSE, 10048,
     "WSAEADDRINUSE Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {ENETDOWN, 10050, "WSAENETDOWN The network subsystem or the associated service provider has failed."},
    {ENETUNREACH, 10051, "WSAENETUNREACH A socket operation was attempted to an unreachable network."},
    {ECONNABORTED, 10053, "WSAECONNABORTED An established connection was aborted by the software in your host machine."},
    {EPIPE, 10053, "WSAECONNABORTED An established connection was aborted by the software in your host machine."},
    {ECONNRESET, 10054, "WSAECONNRESET An existing connection was forcibly closed by the remote host."},
    {ENOBUFS, 10055, "WSAENOBUFS No buffer space is available. The socket cannot be created."},
    {ETIMEDOUT, 10060,
     "WSAETIMEDOUT A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to respond."},
    {ECONNREFUSED, 10061, "WSAECONNREFUSED No connection could be made because the target machine actively refused it."},
};

}  // namespace

SocketErrorText socketErrorText(int err) {
    for (const Row& r : kRows) {
        if (r.err == err) return {r.text, r.wsa, r.wsa == 10035 ? kFirewallBlocked : nullptr};
    }
    return {nullptr, 0, kFirewallFilter};
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
