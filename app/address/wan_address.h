// WAN address: the address under which this machine is seen from the
// Internet, cut out of an address-echo web page between two delimiters.
//
// By default the page is the maintainer's service at
// "http://" + host + "/cgi-bin/ip.asp"; the service may also carry a system
// message for the user ("SM1001..." ends the program, "SM2..." is shown).
// "WANIPURL" points the lookup at any other page instead; such a page's
// system messages are ignored.
//
// The lookup never fails outright: an address that cannot be had becomes
// "N/A" ("UpdateOnNAIP" 1) or stays the last known one, and the failure is
// reported as a status line.
#pragma once

#include <string>

#include "app/address/lan_address.h"
#include "app/address/wan_text.h"

namespace zelmar {

class Core;

inline constexpr const char* kWanServicePath = "/cgi-bin/ip.asp";

struct WanLookupOptions {
    // Host (optionally with ":port") of the default service.
    std::string defaultHost;
    // Sent as "ver" to the default service; empty is sent as "N/A".
    std::string productVersion;
};

// The program's own values: the built-in service host and product version.
WanLookupOptions DefaultWanLookupOptions();

// The full lookup. Returns the new CurrentWanAddress, or the empty text when
// the service told the program to end (CurrentWanAddress and "LastWANIP" are
// then left as they were). Runs on the publication worker.
std::string GetWanAddress(Core& core, const WanLookupOptions& options = DefaultWanLookupOptions());
// The same with what the previous refresh found ("LastWANIP", in its full
// text when this run's last lookup had it).
LookedUpAddress LookUpWanAddress(Core& core, const WanLookupOptions& options = DefaultWanLookupOptions());

}  // namespace zelmar
