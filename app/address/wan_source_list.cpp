#include "app/address/wan_source_list.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <sys/socket.h>

#include "app/core/text.h"

namespace zelmar {

namespace {

// The items of the setting: commas separate, except inside quotes, which
// stay for the command's own word splitting.
std::vector<std::string> SplitSourceItems(const std::string& setting) {
    std::vector<std::string> items;
    std::string item;
    char quote = 0;
    for (char c : setting) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ',') {
            items.push_back(TrimBlanks(item));
            item.clear();
            continue;
        }
        item += c;
    }
    items.push_back(TrimBlanks(item));
    return items;
}

bool StartsWithWord(const std::string& text, const std::string& word) {
    return text.size() >= word.size() && text.compare(0, word.size(), word) == 0;
}

}  // namespace

WanSourceList ParseWanSourceList(const std::string& setting) {
    WanSourceList list;
    for (const std::string& item : SplitSourceItems(setting)) {
        if (item.empty()) continue;
        if (item == "web") {
            list.items.push_back({WanSourceKind::Web, ""});
        } else if (item == "router") {
            list.items.push_back({WanSourceKind::Router, ""});
        } else if (StartsWithWord(item, "interface:") && item.size() > 10 &&
                   item.find_first_of(" \t/") == std::string::npos) {
            list.items.push_back({WanSourceKind::Interface, item.substr(10)});
        } else if (StartsWithWord(item, "command:") && !TrimBlanks(item.substr(8)).empty()) {
            list.items.push_back({WanSourceKind::Command, TrimBlanks(item.substr(8))});
        } else {
            list.refused.push_back(item);
        }
    }
    if (list.items.empty()) list.items.push_back({WanSourceKind::Web, ""});
    return list;
}

bool IsWebOnly(const WanSourceList& list) {
    for (const WanSourceItem& item : list.items)
        if (item.kind != WanSourceKind::Web) return false;
    return true;
}

std::string FirstLineOf(const std::string& output) {
    const std::size_t end = output.find('\n');
    std::string line = output.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string GlobalAddressOfInterface(const std::vector<InterfaceAddress>& addresses, const std::string& name,
                                     int family) {
    for (const InterfaceAddress& a : addresses) {
        if (a.ifname != name || a.family != family) continue;
        // A privacy address changes by the day and a deprecated or tentative
        // one is on its way out or not yet usable: none is worth publishing.
        if (family == AF_INET6 && (a.flags & (IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE)) != 0) continue;
        const std::string text = a.Text();
        if (IsGloballyReachable(text)) return text;
    }
    return std::string();
}

RouterVerdict JudgeRouterAddress(const std::string& router, const std::string& echoed) {
    unsigned char b[4] = {};
    if (::inet_pton(AF_INET, router.c_str(), b) == 1 && !IsGloballyReachable(router))
        return b[0] == 100 && (b[1] & 0xc0) == 64 ? RouterVerdict::SharedCgnat : RouterVerdict::Private;
    if (!echoed.empty() && echoed != router) return RouterVerdict::Mismatch;
    return RouterVerdict::Fine;
}

}  // namespace zelmar
