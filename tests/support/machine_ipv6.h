// The machine's stable IPv6 addresses as the kernel lists them in
// /proc/net/if_inet6: a reader of its own, beside the program's netlink one,
// for tests whose expected lines depend on the machine they run on.
#pragma once

#include <arpa/inet.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zelmar::test {

// Global-scope (unique-local included) addresses of interfaces other than
// lo that are neither temporary, deprecated, tentative nor failed.
inline std::vector<std::string> StableIpv6Addresses() {
    constexpr unsigned kSkipped = 0x01 | 0x08 | 0x20 | 0x40;  // temporary, dadfailed, deprecated, tentative
    std::vector<std::string> found;
    std::ifstream in("/proc/net/if_inet6");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hex, index, prefix, scope, flags, name;
        if (!(fields >> hex >> index >> prefix >> scope >> flags >> name) || hex.size() != 32) continue;
        if (name == "lo" || scope != "00" || (std::stoul(flags, nullptr, 16) & kSkipped) != 0) continue;
        unsigned char bytes[16];
        for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, bytes, text, sizeof text)) found.emplace_back(text);
    }
    return found;
}

// The end the online notice has on this machine after ", WAN IP: ...": the
// IPv6 pair, naming one of them, when the machine has a stable IPv6 address;
// else nothing.
inline bool Ipv6TailFits(const std::string& tail, const std::string& wan6) {
    const std::vector<std::string> mine = StableIpv6Addresses();
    if (mine.empty()) return tail.empty();
    const std::string head = ", LAN IPv6: ", wanPart = ", WAN IPv6: " + wan6;
    if (tail.rfind(head, 0) != 0 || tail.size() < head.size() + wanPart.size() ||
        tail.compare(tail.size() - wanPart.size(), wanPart.size(), wanPart) != 0)
        return false;
    const std::string named = tail.substr(head.size(), tail.size() - head.size() - wanPart.size());
    for (const std::string& a : mine)
        if (a == named) return true;
    return false;
}

}  // namespace zelmar::test
