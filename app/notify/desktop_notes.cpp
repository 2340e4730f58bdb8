#include "app/notify/desktop_notes.h"

#include "app/core/messages.h"
#include "app/notify/masked_text.h"

namespace zelmar {

namespace {

// A failure as a sentence: the channel's own words, else the step and the
// peer's answer; never a bare code.
std::string FailureBody(const DeliveryResult& r) {
    std::string body = r.why;
    if (body.empty() && !r.serverReply.empty()) {
        // A server's numeric code goes with its words, once; the program's
        // own codes ("P10007") are for the log.
        std::string reply = r.serverReply;
        const bool numeric = !r.code.empty() && r.code.find_first_not_of("0123456789") == std::string::npos;
        if (numeric && reply.rfind(r.code, 0) != 0) reply = r.code + " " + reply;
        body = r.step.empty() ? reply : "The " + r.step + " failed: " + reply;
    }
    if (body.empty()) return Message(Msg::ChannelFailedAt, {r.step.empty() ? "delivery" : r.step}).text;
    if (body.back() != '.') body += '.';
    return body;
}

// The notification service reads a note's body as markup (links, images,
// even "file:" ones): text from elsewhere (a server's answer, an address an
// echo page gave) is escaped so that it can only ever be shown as text.
// Only the three characters that open markup or an entity: quotes are plain
// text outside a tag, and not every service knows numeric references.
std::string MarkupEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
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
            notes.push_back({"Zelmar: " + o.channel + " failed", MaskedForLog(FailureBody(o.result), 200), true});
        } else if (failing_.erase(o.channel) > 0) {
            notes.push_back({"Zelmar: " + o.channel + " works again", "Delivered to " + s.current.wan.Shown() + ".",
                             false});
        }
    }
    for (DesktopNote& note : notes) note.body = MarkupEscaped(note.body);
    return notes;
}

}  // namespace zelmar
