// The catalogue's registration: one line per provider file, in the order
// "--list-providers" shows them. ZELMAR_DDNS_PROVIDER(X) names the
// descriptor kDdnsProviderX that app/ddns/providers/<x>.cpp defines. The
// first four keep their places (they are DdnsProtocol's named values);
// the dyndns2 presets follow the list (dyndns2_presets.cpp).
// A provider file keeps its helpers in a namespace of its own,
// provider_<file> (its answer table, request builder and Deliver share
// their names with every other file's): the folder then compiles as one
// unit with the rest of app/ddns, which parses the JSON library and
// instantiates its templates once instead of once per provider.
ZELMAR_DDNS_PROVIDER(Rfc2136)
ZELMAR_DDNS_PROVIDER(Dyndns2)
ZELMAR_DDNS_PROVIDER(DuckDns)
ZELMAR_DDNS_PROVIDER(Cloudflare)
ZELMAR_DDNS_PROVIDER(Dynv6)
ZELMAR_DDNS_PROVIDER(FreeDns)
ZELMAR_DDNS_PROVIDER(Namecheap)
ZELMAR_DDNS_PROVIDER(Gandi)
ZELMAR_DDNS_PROVIDER(GoDaddy)
ZELMAR_DDNS_PROVIDER(DigitalOcean)
ZELMAR_DDNS_PROVIDER(Porkbun)
ZELMAR_DDNS_PROVIDER(Vultr)
ZELMAR_DDNS_PROVIDER(Linode)
ZELMAR_DDNS_PROVIDER(NameCom)
ZELMAR_DDNS_PROVIDER(Dnsimple)
ZELMAR_DDNS_PROVIDER(Hetzner)
ZELMAR_DDNS_PROVIDER(DesecApi)
ZELMAR_DDNS_PROVIDER(NameSilo)
ZELMAR_DDNS_PROVIDER(Ionos)
ZELMAR_DDNS_PROVIDER(Scaleway)
ZELMAR_DDNS_PROVIDER(MythicBeasts)
ZELMAR_DDNS_PROVIDER(DynuApi)
ZELMAR_DDNS_PROVIDER(Route53)
