#include "app/address/address_lookup.h"

#include "app/address/lan_address.h"
#include "app/core/core.h"

namespace zelmar {

LookedUpAddresses LookUpAddresses(Core& core, const WanLookupOptions& options) {
    LookedUpAddresses a;
    const WanLookupResult wan = LookUpWanAddress(core, options);
    a.wan = wan.address;
    a.wanOk = wan.ok;
    a.lan = GetLanAddress(core);
    // The default service ended the program: nobody would see the rest.
    if (core.closed()) return a;
    const WanLookupResult wan6 = LookUpWanAddress6(core, options);
    a.wan6 = wan6.address;
    a.wan6Ok = wan6.ok;
    a.lan6 = LookUpLanAddress6(core.settings().LanInterface);
    return a;
}

}  // namespace zelmar
