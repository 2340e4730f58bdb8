#include "app/core/address_set.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "app/core/text.h"

namespace zelmar {

namespace {

// The canonical text of an address literal, or the text itself.
std::string Canonical(const std::string& text) {
    if (text.size() > INET6_ADDRSTRLEN) return text;
    unsigned char bytes[sizeof(in6_addr)];
    char out[INET6_ADDRSTRLEN];
    if (::inet_pton(AF_INET, text.c_str(), bytes) == 1 && ::inet_ntop(AF_INET, bytes, out, sizeof out))
        return out;
    if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1 && ::inet_ntop(AF_INET6, bytes, out, sizeof out))
        return out;
    return text;
}

bool Differs(const Address& before, const Address& after, UnknownIs unknown) {
    if (!after.known() && unknown != UnknownIs::Change) return false;
    if (!before.known() && unknown == UnknownIs::NoChange) return false;
    return before != after;
}

}  // namespace

Address::Address(std::string_view text) {
    std::string trimmed = TrimBlanks(std::string(text));
    if (trimmed.empty() || trimmed == kUnknownShown) return;
    text_ = Canonical(trimmed);
}

bool Address::IsLoopback() const {
    unsigned char bytes[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, text_.c_str(), bytes) == 1) return bytes[0] == 127;
    return text_ == "::1";
}

AddressChanges ChangesBetween(const AddressSet& before, const AddressSet& after, UnknownIs unknown) {
    AddressChanges c;
    c.wan = Differs(before.wan, after.wan, unknown);
    c.lan = Differs(before.lan, after.lan, unknown);
    c.wan6 = Differs(before.wan6, after.wan6, unknown);
    c.lan6 = Differs(before.lan6, after.lan6, unknown);
    return c;
}

}  // namespace zelmar
