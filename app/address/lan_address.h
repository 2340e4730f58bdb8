// LAN address: the machine's own IPv4 address, found by resolving its host
// name, and the address of the previous refresh for change detection.
//
// The lookup never fails: a host name or a resolution that cannot be had
// gives the empty text, silently, and the empty text is stored so that the
// next refresh compares against it.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

class Core;

using Ipv4Bytes = std::array<unsigned char, 4>;

// Where the host name and its addresses come from. The system lookup uses
// gethostname and getaddrinfo; tests supply their own resolver answers.
struct LanResolver {
    std::function<std::optional<std::string>()> hostName;
    // The IPv4 addresses of a name, in the resolver's order; nullopt when the
    // name cannot be resolved.
    std::function<std::optional<std::vector<Ipv4Bytes>>(const std::string&)> resolve;
};

LanResolver SystemLanResolver();

// Dotted decimal text of an address: each byte as an unsigned number
// without leading zeros.
std::string DottedQuad(const Ipv4Bytes& bytes);

// One lookup's result: what the previous refresh found ("LastLANIP",
// "LastWANIP") and what this one found. ended: the WAN service told the
// program to end; nothing was stored.
struct LookedUpAddress {
    std::string previous;
    std::string current;
    bool ended = false;
};

// Reads "LastLANIP" into LastLanAddress, finds the current address (the last
// one the resolver lists), stores it in CurrentLanAddress and "LastLANIP" and
// returns it. Runs on the publication worker.
LookedUpAddress LookUpLanAddress(Core& core, const LanResolver& resolver = SystemLanResolver());
// The same, returning the current address only.
std::string GetLanAddress(Core& core, const LanResolver& resolver = SystemLanResolver());

}  // namespace zelmar
