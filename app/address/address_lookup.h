// All four addresses of one refresh, in the order the refresh has always
// looked them up (WAN before LAN), for the refresh to put in its snapshot.
#pragma once

#include <string>

#include "app/address/wan_address.h"

namespace zelmar {

class Core;

struct LookedUpAddresses {
    std::string wan, lan, wan6, lan6;
    // False when the WAN lookup of the family failed or its sources
    // disagreed: the refresh counts as failed for the WAN.
    bool wanOk = false;
    bool wan6Ok = false;
};

// Runs on the publication worker. The IPv6 lookups are left out when the
// default service told the program to end.
LookedUpAddresses LookUpAddresses(Core& core, const WanLookupOptions& options = DefaultWanLookupOptions());

}  // namespace zelmar
