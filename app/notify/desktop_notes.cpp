#include "app/notify/desktop_notes.h"

#include "app/notify/masked_text.h"

namespace zelmar {

namespace {

// The notification service reads a note's body as markup (links, images,
// even "file:" ones): text from elsewhere (a server's answer, an address an
// echo page gave) is escaped so that it can only ever be shown as text.
std::string MarkupEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::vector<DesktopNote> DesktopNotePlanner::Plan(const RefreshSnapshot& s, const std::vector<ChannelOutcome>& outcomes) {
    std::vector<DesktopNote> notes;
    const AddressChanges changed = ChangesBetween(s.previous, s.current);
    std::string body;
    const auto line = [&body](bool differs, const char* label, const Address& before, const Address& after) {
        if (differs) body += std::string(body.empty() ? "" : "\n") + label + " " + before.Shown() + " → " + after.Shown();
    };
    line(changed.wan, "WAN", s.previous.wan, s.current.wan);
    line(changed.lan, "LAN", s.previous.lan, s.current.lan);
    line(changed.wan6, "WAN IPv6", s.previous.wan6, s.current.wan6);
    if (!body.empty()) notes.push_back({"Zelmar: address changed", body, false});
    for (const ChannelOutcome& o : outcomes) {
        if (!o.attempted) continue;
        if (!o.result.ok()) {
            if (!failing_.insert(o.channel).second) continue;
            std::string why = o.result.code.empty() ? std::string() : o.result.code;
            if (!o.result.serverReply.empty()) why += (why.empty() ? "" : ": ") + o.result.serverReply;
            notes.push_back({"Zelmar: " + o.channel + " failed",
                             why.empty() ? "See the log for details." : MaskedForLog(why, 200), true});
        } else if (failing_.erase(o.channel) > 0) {
            notes.push_back({"Zelmar: " + o.channel + " works again", "Delivered to " + s.current.wan.Shown() + ".",
                             false});
        }
    }
    for (DesktopNote& note : notes) note.body = MarkupEscaped(note.body);
    return notes;
}

}  // namespace zelmar
