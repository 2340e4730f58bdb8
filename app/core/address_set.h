// One address value for the whole program: what a lookup found, what a
// channel delivered, what the history keeps.
//
// "Unknown" is a state of its own, not a text: a failed lookup, a machine
// without IPv6, a LAN interface without a usable address. Known addresses
// are kept in one canonical spelling (IPv4 dotted decimal, IPv6 lower case
// and compressed as inet_ntop writes it), so two spellings of one address
// compare equal and are never taken for a change.
//
// How unknown is written is decided here, once per audience: "N/A" for
// people (pages, mails, status lines), empty for programs (webhooks, the
// ZELMAR_* variables of the command hook).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace zelmar {

class Address {
public:
    // Unknown.
    Address() = default;
    // The value a text stands for: empty, blank or "N/A" is unknown; an
    // address literal is put into its canonical form; any other text (a
    // stored form cut to its key's length) is kept as it is.
    Address(std::string_view text);  // NOLINT: every stored text is an address
    Address(const std::string& text) : Address(std::string_view(text)) {}
    Address(const char* text) : Address(std::string_view(text ? text : "")) {}

    bool known() const { return !text_.empty(); }
    // The canonical text; empty when unknown.
    const std::string& text() const { return text_; }
    // For people: "N/A" when unknown.
    std::string Shown() const { return known() ? text_ : std::string(kUnknownShown); }
    // For programs: empty when unknown.
    const std::string& Plain() const { return text_; }
    // 127.0.0.0/8 or ::1.
    bool IsLoopback() const;

    friend bool operator==(const Address&, const Address&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Address& a) { return out << a.Shown(); }

    static constexpr const char* kUnknownShown = "N/A";

private:
    std::string text_;
};

// One machine's addresses.
struct AddressSet {
    Address wan;
    Address lan;
    Address wan6;
    Address lan6;
    friend bool operator==(const AddressSet&, const AddressSet&) = default;
};

// One change of the machine's addresses, as the history keeps it.
struct AddressChange {
    std::int64_t time = 0;  // seconds since the epoch
    AddressSet before;
    AddressSet after;
    friend bool operator==(const AddressChange&, const AddressChange&) = default;
};

// Which families changed between two address sets.
struct AddressChanges {
    bool wan = false;
    bool lan = false;
    bool wan6 = false;
    bool lan6 = false;
    bool any() const { return wan || lan || wan6 || lan6; }
};

// Whether a family that is unknown on one side counts as changed.
enum class UnknownIs {
    // Never: what tells people about a change (the history, the command
    // hook, desktop notes) compares with the last real address, so unknown
    // before is the first address ever seen and unknown now a failed lookup.
    NoChange,
    // Unknown now is no change (a failed lookup is no news), unknown before
    // is one: a webhook that last told its peer "unknown" tells it the
    // address found again.
    NoChangeWhenUnknownNow,
    // Any difference: a channel record compares what reached its peer with
    // what would be published now, and the unknown state is a state to
    // publish ("UpdateOnNAIP").
    Change,
};

// The one decision of what changed between two address sets.
AddressChanges ChangesBetween(const AddressSet& before, const AddressSet& after,
                              UnknownIs unknown = UnknownIs::NoChange);

}  // namespace zelmar
