#include "app/notify/desktop_notes.h"

#include "app/notify/masked_text.h"

namespace zelmar {

namespace {

std::string Shown(const std::string& address) { return address.empty() ? "none" : address; }

}  // namespace

std::vector<DesktopNote> DesktopNotePlanner::Plan(const RefreshSnapshot& s, const std::vector<ChannelOutcome>& outcomes) {
    std::vector<DesktopNote> notes;
    // Nothing was known before the first refresh: no change to tell.
    if (s.previous != AddressSet{}) {
        std::string body;
        const auto line = [&body](const char* label, const std::string& before, const std::string& after) {
            if (before != after) body += std::string(body.empty() ? "" : "\n") + label + " " + Shown(before) + " → " + Shown(after);
        };
        line("WAN", s.previous.wan, s.current.wan);
        line("LAN", s.previous.lan, s.current.lan);
        line("WAN IPv6", s.previous.wan6, s.current.wan6);
        if (!body.empty()) notes.push_back({"Zelmar: address changed", body, false});
    }
    for (const ChannelOutcome& o : outcomes) {
        if (!o.attempted) continue;
        if (!o.result.ok()) {
            if (!failing_.insert(o.channel).second) continue;
            std::string why = o.result.code.empty() ? std::string() : o.result.code;
            if (!o.result.serverReply.empty()) why += (why.empty() ? "" : ": ") + o.result.serverReply;
            notes.push_back({"Zelmar: " + o.channel + " failed",
                             why.empty() ? "See the log for details." : MaskedForLog(why, 200), true});
        } else if (failing_.erase(o.channel) > 0) {
            notes.push_back({"Zelmar: " + o.channel + " works again", "Delivered to " + Shown(s.current.wan) + ".",
                             false});
        }
    }
    return notes;
}

}  // namespace zelmar
