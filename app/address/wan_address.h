// WAN address: the address under which this machine is seen from the
// Internet, cut out of an address-echo web page between two delimiters, or
// taken from the router, an interface or a command as "WANSource" lists
// them (wan_source_list.h).
//
// "WANIPURL" names the page; empty, the built-in public echo services are
// asked and cross-checked (wan_sources.h). "WANCheckURLs" adds further pages
// that must agree. Without built-in sources (a test's options) the empty
// setting means the maintainer's service at "http://" + host +
// "/cgi-bin/ip.asp", whose page may also carry a system message for the
// user ("SM1001..." ends the program, "SM2..." is shown); other pages'
// system messages are ignored.
//
// The IPv6 address comes from "WANIPURL6" (or the built-in IPv6 sources),
// fetched over IPv6 only.
//
// The lookup never fails outright: an address that cannot be had is unknown
// ("UpdateOnNAIP" 1) or stays the last known one, and the failure is
// reported as a status line. Only a real address is stored.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/address/lan_address.h"
#include "app/address/wan_source_list.h"
#include "app/address/wan_text.h"
#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/core/status_message.h"

namespace zelmar {

class Core;

inline constexpr const char* kWanServicePath = "/cgi-bin/ip.asp";

struct WanLookupOptions {
    WanLookupOptions() = default;
    WanLookupOptions(std::string host, std::string version)
        : defaultHost(std::move(host)), productVersion(std::move(version)) {}
    // Host (optionally with ":port") of the default service.
    std::string defaultHost;
    // Sent as "ver" to the default service; empty is sent as "N/A".
    std::string productVersion;
    // The echo pages asked when "WANIPURL" / "WANIPURL6" is empty; empty
    // lists fall back to the default service (IPv4) or no lookup (IPv6).
    std::vector<std::string> builtInSources4;
    std::vector<std::string> builtInSources6;
    // Skip the IPv6 lookup on a machine without an IPv6 route.
    bool needIpv6Route = true;
    // Runs a "command:" source; without it such a source fails.
    WanCommandRunner runCommand;
    // The router's NAT-PMP address and the interface address its search
    // goes out from; empty: the default gateway and the system's choice.
    std::string routerGateway;
    std::string routerSearchInterface;
};

// The program's own values: the built-in service host and product version.
WanLookupOptions DefaultWanLookupOptions();

// The full lookup. Returns the address as the status lines show it, or the
// empty text when the service told the program to end ("LastWANIP" is then
// left as it was). Runs on the publication worker.
std::string GetWanAddress(Core& core, const WanLookupOptions& options = DefaultWanLookupOptions());
// The same with the last real address ("LastWANIP"). failed: nothing
// answered, or the sources disagreed (the last good address is kept).
LookedUpAddress LookUpWanAddress(Core& core, const WanLookupOptions& options = DefaultWanLookupOptions());

// Where a lookup without a core reports its lines.
using PostLine = std::function<void(StatusMessage)>;

// "LastWANIP6" and "LastLANIP6" hold a full IPv6 address.
inline constexpr std::size_t kStoredAddress6Chars = 45;

// The IPv6 WAN address from "WANSource6" (see wan_source_list.h); for the
// echo pages from "WANIPURL6" (or, when "WANIPURL" is empty too,
// the built-in IPv6 sources),
// fetched over IPv6 only; previous as stored in "LastWANIP6".
// A machine without an IPv6 route is not asked (current empty, not failed).
// failed: the sources gave nothing or disagreed. Runs on the worker.
LookedUpAddress LookUpWanAddress6(const Settings& settings, IniFile& ini, const PostLine& post,
                                  const WanLookupOptions& options = DefaultWanLookupOptions());

}  // namespace zelmar
