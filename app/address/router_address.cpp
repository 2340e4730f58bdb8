#include "app/address/router_address.h"

#include <arpa/inet.h>
#include <natpmp.h>
#include <sys/select.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>

#include "app/core/messages.h"

namespace zelmar {

namespace {

using std::chrono::milliseconds;
using RouterClock = std::chrono::steady_clock;

// "http://192.168.1.1:5000/rootDesc.xml" -> "192.168.1.1" (an IPv6 host
// without its brackets).
std::string RouterHostOfUrl(const std::string& url) {
    std::size_t at = url.find("://");
    at = at == std::string::npos ? 0 : at + 3;
    if (at < url.size() && url[at] == '[') {
        const std::size_t close = url.find(']', at);
        return close == std::string::npos ? std::string() : url.substr(at + 1, close - at - 1);
    }
    const std::size_t end = url.find_first_of(":/", at);
    return url.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The IGD's external address over UPnP; the description URL is tried first
// when there is one, the network searched when it does not answer.
RouterAnswer AskRouterUpnp(const RouterQuery& query, milliseconds budget, const RouterFound& found) {
    RouterAnswer answer;
    answer.protocol = "UPnP";
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[64] = {};
    bool have = false;
    if (!query.rememberedUrl.empty())
        have = UPNP_GetIGDFromUrl(query.rememberedUrl.c_str(), &urls, &data, lanAddress, sizeof lanAddress) == 1;
    if (!have) {
        // The router was replaced or moved: search again. Each kind of
        // device searched for is waited for the whole delay; two kinds (an
        // IGD of either version) take at most half of the time the lookup
        // has (NAT-PMP gets the rest), and half a second at most each: a
        // router on the LAN answers within milliseconds.
        static const char* const kGatewayTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                                     "urn:schemas-upnp-org:device:InternetGatewayDevice:2", nullptr};
        const int delay = static_cast<int>(std::clamp<long long>(budget.count() / 4, 100, 500));
        int error = 0;
        UPNPDev* devices =
            upnpDiscoverDevices(kGatewayTypes, delay,
                                query.multicastInterface.empty() ? nullptr : query.multicastInterface.c_str(), nullptr,
                                0, 0, 2, &error, 0);
        if (devices == nullptr) {
            answer.problem = Text<Msg::RouterNoUpnp>();
            return answer;
        }
        const int igd = UPNP_GetValidIGD(devices, &urls, &data, lanAddress, sizeof lanAddress);
        freeUPNPDevlist(devices);
        if (igd == 0) {
            answer.problem = "no UPnP Internet gateway found";
            return answer;
        }
        if (igd != 1 && igd != 2) {
            // A UPnP device, but not an Internet gateway.
            FreeUPNPUrls(&urls);
            answer.problem = "no UPnP Internet gateway found";
            return answer;
        }
    }
    answer.url = urls.rootdescURL != nullptr ? urls.rootdescURL : query.rememberedUrl;
    answer.router = RouterHostOfUrl(answer.url);
    if (found) found(answer.router, answer.protocol);
    char external[64] = {};
    const int r = UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external);
    FreeUPNPUrls(&urls);
    if (r != UPNPCOMMAND_SUCCESS) {
        answer.problem = std::string("GetExternalIPAddress failed (") + strupnperror(r) + ")";
        return answer;
    }
    // A router whose own WAN side has no public address (behind another
    // router, or not connected) answers with nothing or 0.0.0.0.
    if (external[0] == '\0' || std::string(external) == "0.0.0.0") {
        answer.problem = Text<Msg::RouterNoOwnAddress>("UPnP");
        return answer;
    }
    answer.address = external;
    answer.ok = true;
    return answer;
}

// The gateway's public address over NAT-PMP, its retries (250 ms doubled)
// cut off at the deadline.
RouterAnswer AskRouterNatpmp(const RouterQuery& query, RouterClock::time_point deadline, const RouterFound& found) {
    RouterAnswer answer;
    answer.protocol = "NAT-PMP";
    in_addr forced{};
    const bool force = !query.natpmpGateway.empty() && ::inet_pton(AF_INET, query.natpmpGateway.c_str(), &forced) == 1;
    natpmp_t session{};
    if (initnatpmp(&session, force ? 1 : 0, force ? forced.s_addr : 0) != 0) {
        answer.problem = "no gateway to ask over NAT-PMP";
        return answer;
    }
    in_addr gateway{};
    gateway.s_addr = session.gateway;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &gateway, text, sizeof text);
    answer.router = text;
    if (found) found(answer.router, answer.protocol);
    if (sendpublicaddressrequest(&session) < 0) {
        closenatpmp(&session);
        answer.problem = "the NAT-PMP request could not be sent";
        return answer;
    }
    natpmpresp_t response{};
    int r = NATPMP_TRYAGAIN;
    while (r == NATPMP_TRYAGAIN) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - RouterClock::now());
        if (left.count() <= 0) break;
        timeval wait{};
        getnatpmprequesttimeout(&session, &wait);
        const long long retryIn = static_cast<long long>(wait.tv_sec) * 1000000 + wait.tv_usec;
        const long long waitFor = std::max<long long>(0, std::min<long long>(retryIn, left.count()));
        wait.tv_sec = static_cast<time_t>(waitFor / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(waitFor % 1000000);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(session.s, &readable);
        ::select(session.s + 1, &readable, nullptr, nullptr, &wait);
        r = readnatpmpresponseorretry(&session, &response);
    }
    closenatpmp(&session);
    if (r == NATPMP_TRYAGAIN) {
        answer.problem = "no NAT-PMP answer from " + answer.router;
        return answer;
    }
    // A gateway without NAT-PMP refuses the port (an ICMP error).
    if (r == NATPMP_ERR_NOGATEWAYSUPPORT) {
        answer.problem = answer.router + " refused NAT-PMP";
        return answer;
    }
    if (r == NATPMP_ERR_NETWORKFAILURE) {
        answer.problem = Text<Msg::RouterNoOwnAddress>("NAT-PMP");
        return answer;
    }
    if (r != 0 || response.type != NATPMP_RESPTYPE_PUBLICADDRESS) {
        answer.problem = "NAT-PMP error " + std::to_string(r) + " from " + answer.router;
        return answer;
    }
    char external[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &response.pnu.publicaddress.addr, external, sizeof external);
    answer.address = external;
    answer.ok = true;
    return answer;
}

}  // namespace

RouterAnswer AskRouter(const RouterQuery& query, const RouterFound& found) {
    const RouterClock::time_point deadline = RouterClock::now() + query.timeout;
    RouterAnswer upnp = AskRouterUpnp(query, query.timeout, found);
    if (upnp.ok) return upnp;
    // NAT-PMP gets its first retry's worth of time even when the UPnP
    // attempt used up the rest.
    RouterAnswer natpmp = AskRouterNatpmp(query, std::max(deadline, RouterClock::now() + milliseconds(300)), found);
    if (natpmp.ok) return natpmp;
    natpmp.problem = upnp.problem + "; " + natpmp.problem;
    return natpmp;
}

}  // namespace zelmar
