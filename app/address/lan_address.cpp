#include "app/address/lan_address.h"

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/address/netlink_addresses.h"
#include "app/core/core.h"

namespace zelmar {

namespace {

// Stored addresses are short texts; a dotted IPv4 address needs 15.
constexpr std::size_t kStoredAddressChars = 20;

std::optional<std::string> SystemHostName() {
    char name[128];
    if (::gethostname(name, sizeof name) != 0) return std::nullopt;
    name[sizeof name - 1] = '\0';  // a name that filled the buffer may lack the terminator
    if (name[0] == '\0') return std::nullopt;
    return std::string(name);
}

std::optional<std::vector<Ipv4Bytes>> SystemResolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One socket type only, or every address would be listed once per type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
    std::vector<Ipv4Bytes> addresses;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in sin;
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        Ipv4Bytes bytes;
        std::memcpy(bytes.data(), &sin.sin_addr, bytes.size());
        addresses.push_back(bytes);
    }
    ::freeaddrinfo(list);
    if (addresses.empty()) return std::nullopt;
    return addresses;
}

std::vector<InterfaceAddress> LiveAddresses() {
    std::string error;
    auto addresses = ReadInterfaceAddresses(&error);
    return addresses ? *addresses : std::vector<InterfaceAddress>{};
}

}  // namespace

std::optional<std::string> SystemPrimaryLanAddress(const std::string& pinnedInterface) {
    std::optional<std::string> route;
    if (pinnedInterface.empty()) {
        if (auto source = DefaultRouteSource(AF_INET)) route = source->Text();
    }
    return SelectLanAddress4(LiveAddresses(), pinnedInterface, route);
}

std::string LanAddress6(const std::string& pinnedInterface) {
    const std::vector<InterfaceAddress> addresses = LiveAddresses();
    int routeIfindex = 0;
    // The route's own source may be a temporary address: it only tells
    // which interface leads to the Internet.
    if (auto source = DefaultRouteSource(AF_INET6)) {
        for (const InterfaceAddress& a : addresses)
            if (a.family == AF_INET6 && a.bytes == source->bytes) routeIfindex = a.ifindex;
    }
    return SelectLanAddress6(addresses, pinnedInterface, routeIfindex).value_or(std::string());
}

namespace {

// An address fit to be the LAN address: a loopback one is unknown.
Address Usable(const std::string& text) {
    Address a(text);
    return a.IsLoopback() ? Address() : a;
}

}  // namespace

LookedUpAddress LookUpLanAddress6(IniFile& ini, const std::string& pinnedInterface) {
    LookedUpAddress found;
    found.previous = Address(ini.GetString(kIPAddress, "LastLANIP6", "", 45));
    found.current = Usable(LanAddress6(pinnedInterface));
    if (found.current.known()) ini.WriteString(kIPAddress, "LastLANIP6", found.current.text());
    return found;
}

LanResolver SystemLanResolver() {
    return LanResolver{SystemHostName, SystemResolve, SystemPrimaryLanAddress};
}

std::string DottedQuad(const Ipv4Bytes& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) text += '.';
        text += std::to_string(static_cast<unsigned>(bytes[i]));
    }
    return text;
}

std::string GetLanAddress(Core& core, const LanResolver& resolver) {
    return LookUpLanAddress(core, resolver).current.Plain();
}

LookedUpAddress LookUpLanAddress(Core& core, const LanResolver& resolver) {
    LookedUpAddress found;
    found.previous = Address(core.ini().GetString(kIPAddress, "LastLANIP", "", kStoredAddressChars));

    const std::string pinned = core.settings().LanInterface;
    if (!pinned.empty()) {
        if (resolver.primary) found.current = Usable(resolver.primary(pinned).value_or(std::string()));
    } else {
        if (auto host = resolver.hostName ? resolver.hostName() : std::nullopt) {
            if (auto addresses = resolver.resolve ? resolver.resolve(*host) : std::nullopt) {
                // A machine with several adapters lists several addresses;
                // the last one the resolver gives is the one reported.
                for (const Ipv4Bytes& a : *addresses)
                    if (a[0] != 127) found.current = Address(DottedQuad(a));
            }
        }
        // Nothing but loopback, or no answer at all: the kernel knows the
        // address the network sees.
        if (!found.current.known() && resolver.primary)
            found.current = Usable(resolver.primary(std::string()).value_or(std::string()));
    }
    if (found.current.known()) core.ini().WriteString(kIPAddress, "LastLANIP", found.current.text());
    return found;
}

}  // namespace zelmar
