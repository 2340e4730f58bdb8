// LAN address: the machine's own IPv4 address, found by resolving its host
// name, and the address of the previous refresh for change detection.
//
// A host name that resolves to nothing but loopback (Debian maps it to
// 127.0.1.1) says nothing about the machine; the kernel's primary address
// (netlink_addresses.h) stands in for it then. "LanInterface" pins the
// interface the address is taken from, whatever the host name says.
//
// The lookup never fails: a host name or a resolution that cannot be had
// gives an unknown address, silently. A loopback address is never the LAN
// address: it says nothing about the machine's network. An unknown address
// is not stored, so "LastLANIP" keeps the last real one.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/address_set.h"

namespace zelmar {

class Core;
class IniFile;

using Ipv4Bytes = std::array<unsigned char, 4>;

// Where the host name and its addresses come from. The system lookup uses
// gethostname and getaddrinfo; tests supply their own resolver answers.
struct LanResolver {
    std::function<std::optional<std::string>()> hostName;
    // The IPv4 addresses of a name, in the resolver's order; nullopt when the
    // name cannot be resolved.
    std::function<std::optional<std::vector<Ipv4Bytes>>(const std::string&)> resolve;
    // The machine's primary IPv4 address from the kernel's tables, or the
    // first address of the named interface ("" for automatic).
    std::function<std::optional<std::string>(const std::string& pinnedInterface)> primary;
};

// The kernel's choice (SelectLanAddress4 over the live tables).
std::optional<std::string> SystemPrimaryLanAddress(const std::string& pinnedInterface);

// The stable IPv6 LAN address (SelectLanAddress6 over the live tables); empty
// when the machine has none.
std::string LanAddress6(const std::string& pinnedInterface);

LanResolver SystemLanResolver();

// Dotted decimal text of an address: each byte as an unsigned number
// without leading zeros.
std::string DottedQuad(const Ipv4Bytes& bytes);

// One lookup's result: the last real address an earlier refresh found
// ("LastLANIP", "LastWANIP"; unknown when none ever was) and what this one
// found. ended: the WAN service told the program to end; nothing was stored.
struct LookedUpAddress {
    Address previous;
    Address current;
    bool ended = false;
    // The lookup failed (the WAN sources gave nothing or disagreed).
    bool failed = false;
    // The pages asked, as the status lines name them (WAN lookups).
    std::string source;
};

// LanAddress6 with "LastLANIP6" ("IPAddress") as the previous address; the
// current one is stored there. Runs on the worker.
LookedUpAddress LookUpLanAddress6(IniFile& ini, const std::string& pinnedInterface);

// Reads "LastLANIP", finds the current address (the last one the resolver
// lists that is not loopback; the primary address when there is none or
// "LanInterface" is set), stores a known one in "LastLANIP" and returns
// both. Runs on the publication worker.
LookedUpAddress LookUpLanAddress(Core& core, const LanResolver& resolver = SystemLanResolver());
// The same, returning the current address only (empty when unknown).
std::string GetLanAddress(Core& core, const LanResolver& resolver = SystemLanResolver());

}  // namespace zelmar
