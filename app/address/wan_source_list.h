// Where the WAN address comes from, in the order the user gave:
// "WANSource" (IPv4) and "WANSource6" (IPv6) in [LocalSettings], a comma-
// separated list of
//
//   web                the echo pages (the default, and what an empty or
//                      unreadable list means)
//   router             the router itself: UPnP IGD, then NAT-PMP
//   interface:<name>   the first global address of that interface, for a
//                      machine whose public address sits on it (a VPS)
//   command:<program>  the first line a program of the user's prints; run
//                      with the command hook's rules (no shell, bounded)
//
// The first source that gives an address wins. A comma inside a command is
// quoted ('a,b' or "a,b"), as its words would be anyway.
//
// Whatever a source answers passes the checks of an echo page's answer: one
// address literal of the family, nothing else. The router's answer is also
// looked at for what it says about the network: a private or shared
// (carrier-grade NAT) external address, or one the echo pages contradict,
// means a further router stands between this machine and the Internet.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/address/netlink_addresses.h"

namespace zelmar {

enum class WanSourceKind { Web, Router, Interface, Command };

struct WanSourceItem {
    WanSourceKind kind = WanSourceKind::Web;
    // The interface name or the command line.
    std::string argument;
    friend bool operator==(const WanSourceItem&, const WanSourceItem&) = default;
};

struct WanSourceList {
    std::vector<WanSourceItem> items;
    // The items that were not understood, as written: reported and left out.
    std::vector<std::string> refused;
};

// Reads the setting. Empty (or nothing understood) is the echo pages alone.
WanSourceList ParseWanSourceList(const std::string& setting);

// True when the list is the echo pages alone: the lookup as it always was.
bool IsWebOnly(const WanSourceList& list);

// What a command source's program left: its output, or why there is none
// ("timed out after 15 s", "exited with code 2", "could not start: ...").
struct CommandAnswer {
    bool ok = false;
    std::string output;
    std::string problem;
};
// Runs a command line with the command hook's rules for the time-out and the
// output. Given by the composition root, which knows the hook.
using WanCommandRunner = std::function<CommandAnswer(const std::string& line, std::chrono::milliseconds timeout)>;

// The first line of a program's output, without its line end.
std::string FirstLineOf(const std::string& output);

// The first global address of the family (AF_INET, AF_INET6) on the
// interface named, in the kernel's order; temporary, deprecated and
// tentative IPv6 addresses are passed over. Empty when there is none.
std::string GlobalAddressOfInterface(const std::vector<InterfaceAddress>& addresses, const std::string& name,
                                     int family);

// What the router's external address says about the network. echoed: what the echo pages said in the same lookup
// (empty when they were not asked or gave nothing).
enum class RouterVerdict { Fine, Private, SharedCgnat, Mismatch };
RouterVerdict JudgeRouterAddress(const std::string& router, const std::string& echoed);

}  // namespace zelmar
