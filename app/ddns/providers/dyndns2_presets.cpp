// Services that speak dyndns2 under their own server: a word, a name, the
// server (the protocol adds /nic/update), what to know, and where the
// password or update key is made. Each follows its service's published
// update URL; the entry's "Server" still overrides it.
#include "app/ddns/ddns_provider.h"

namespace zelmar {

namespace provider_dyndns2_presets {

constexpr Dyndns2Preset kPresets[] = {
    {"noip", "No-IP", "https://dynupdate.no-ip.com", "login: the account's e-mail or user name, or a DDNS key's",
     "https://my.noip.com/dynamic-dns"},
    {"dynu", "Dynu", "https://api.dynu.com", "password: the account's, or its IP update password",
     "https://www.dynu.com/en-US/ControlPanel/ManageCredentials"},
    {"dnsomatic", "DNS-O-Matic", "https://updates.dnsomatic.com", "forwards to every service set up in the account",
     "https://dnsomatic.com/"},
    {"desec", "deSEC", "https://update.dedyn.io", "login: the domain; password: a token of the domain",
     "https://desec.io/tokens"},
    {"ovh", "OVH DynHost", "https://www.ovh.com", "login and password of the zone's DynHost identifier",
     "https://www.ovh.com/manager/"},
    {"strato", "Strato", "https://dyndns.strato.com", "login: the domain; password: its DynDNS password",
     "https://www.strato.de/apps/CustomerService"},
    {"infomaniak", "Infomaniak", "https://infomaniak.com", "login and password of the name's dynamic-DNS access",
     "https://manager.infomaniak.com/"},
    {"loopia", "LoopiaDNS", "https://dyndns.loopia.se", "login: the account's user name or an API user",
     "https://customerzone.loopia.com/"},
    {"allinkl", "ALL-INKL (KAS)", "https://dyndns.kasserver.com", "login and password of a DDNS user made in KAS",
     "https://kas.all-inkl.com/"},
    {"selfhost", "selfHOST", "https://carol.selfhost.de", "login and password of the DynDNS account",
     "https://selfhost.de/cgi-bin/selfhost"},
    {"changeip", "ChangeIP", "https://nic.changeip.com", "login and password of the account",
     "https://www.changeip.com/accounts/"},
    {"he", "Hurricane Electric", "https://dyn.dns.he.net", "login: the name itself; password: its dynamic key",
     "https://dns.he.net/"},
    {"spdyn", "Securepoint DynDNS", "https://update.spdyn.de", "login: the name; password: its update token",
     "https://www.spdyn.de/"},
    {"nsupdateinfo", "nsupdate.info", "https://ipv4.nsupdate.info", "login: the name; password: its update secret",
     "https://www.nsupdate.info/"},
    {"inwx", "INWX", "https://dyndns.inwx.com", "login and password of a DynDNS account made for the name",
     "https://www.inwx.com/en/nameserver2/dyndns"},
    {"afraid2", "FreeDNS (dyndns2 interface)", "https://freedns.afraid.org",
     "login and password of the account; the token interface is \"freedns\"", "https://freedns.afraid.org/dynamic/"},
    {"ipv64", "IPv64", "https://ipv64.net", "login: anything; password: the account's update token",
     "https://ipv64.net/account"},
};

}  // namespace provider_dyndns2_presets

std::span<const Dyndns2Preset> Dyndns2Presets() { return provider_dyndns2_presets::kPresets; }

}  // namespace zelmar
