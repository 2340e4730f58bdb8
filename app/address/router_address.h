// The router's own external address, asked of the router: UPnP IGD
// (GetExternalIPAddress of its WAN connection service), then NAT-PMP (a
// public address request, RFC 6886) to the default gateway.
//
// Asking the router is instant and works before the Internet answers, but
// finding it takes an SSDP search. The description URL of the router found is
// kept between runs ("LastRouterURL"): it is asked first, and only when it no
// longer answers (a new router, a new address) is the network searched again.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zelmar {

struct RouterQuery {
    // The root description URL of the router found last time; empty: search.
    std::string rememberedUrl;
    // The whole lookup, discovery included, stays within about this time.
    std::chrono::milliseconds timeout{10000};
    // The NAT-PMP gateway; empty: the default route's gateway.
    std::string natpmpGateway;
    // The interface address SSDP searches from; empty: the system's choice.
    std::string multicastInterface;
};

struct RouterAnswer {
    bool ok = false;
    std::string address;   // as the router wrote it (checked by the caller)
    std::string router;    // the router's address, "192.168.1.1"
    std::string protocol;  // "UPnP" or "NAT-PMP"
    std::string url;       // UPnP: the description URL, to remember
    std::string problem;   // why there is no address
};

// Called once the router is known, before its address is asked: the
// "Requesting ..." line names it.
using RouterFound = std::function<void(const std::string& router, const std::string& protocol)>;

RouterAnswer AskRouter(const RouterQuery& query, const RouterFound& found = nullptr);

}  // namespace zelmar
