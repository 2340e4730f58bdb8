#include "app/address/wan_sources.h"

#include <sys/socket.h>

#include <map>

#include "app/address/netlink_addresses.h"
#include "app/address/wan_text.h"
#include "app/core/messages.h"
#include "app/core/text.h"

namespace zelmar {

namespace {

SourceAnswer Refused(const std::string& source, std::string why) {
    return SourceAnswer{source, std::nullopt, std::move(why)};
}

}  // namespace

const std::vector<std::string>& BuiltInWanSources(IpFamily family) {
    // Each answers a plain GET with the address alone (a line end at most),
    // as their documentation describes; four operators for IPv4, three for
    // IPv6, so one failing or lying source is outvoted.
    static const std::vector<std::string> kV4 = {
        "https://api.ipify.org",
        "https://ipv4.icanhazip.com",
        "https://v4.ident.me",
        "https://checkip.amazonaws.com",
    };
    static const std::vector<std::string> kV6 = {
        "https://api6.ipify.org",
        "https://ipv6.icanhazip.com",
        "https://v6.ident.me",
    };
    return family == IpFamily::V6 ? kV6 : kV4;
}

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (IsBlank(c)) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

SourceAnswer ReadAnswer(const WanSource& source, const HttpFetchResult& fetched, int family,
                        const std::string& start, const std::string& end) {
    if (!fetched.ok) return Refused(source.url, Text<Msg::WanNoAnswer>(fetched.error));
    const std::string page = fetched.body.substr(0, fetched.body.find('\0'));
    std::string text;
    if (source.delimited) {
        // The user's own page may also answer with the bare address.
        auto between = ExtractBetween(page, start, end);
        if (!between && AddressFamilyOf(TrimBlanks(page)) == 0)
            return Refused(source.url, Text<Msg::WanNoAddressBetween>());
        text = between ? *between : TrimBlanks(page);
    } else {
        text = TrimBlanks(page);
    }
    if (text.empty()) return Refused(source.url, Text<Msg::WanEmptyAnswer>());
    if (SplitBlanks(text).size() > 1) {
        const std::vector<std::string> words = SplitBlanks(text);
        int addresses = 0;
        for (const std::string& w : words) addresses += AddressFamilyOf(w) != 0 ? 1 : 0;
        return Refused(source.url, addresses > 1 ? Text<Msg::WanSeveralAddresses>() : Text<Msg::WanNotAnAddress>());
    }
    const int found = IsAddressLiteral(text) ? AddressFamilyOf(text) : 0;
    if (found == 0) return Refused(source.url, Text<Msg::WanNotAnAddress>());
    if (family != 0 && found != family)
        return Refused(source.url, found == AF_INET ? Text<Msg::WanAnIpv4Address>() : Text<Msg::WanAnIpv6Address>());
    return SourceAnswer{source.url, text, std::string()};
}

WanVote Vote(const std::vector<SourceAnswer>& answers) {
    WanVote vote;
    std::map<std::string, int> counts;
    for (const SourceAnswer& a : answers) {
        if (!a.address) continue;
        ++vote.answering;
        ++counts[*a.address];
    }
    for (const auto& [address, count] : counts) {
        if (2 * count > vote.answering) {
            vote.address = address;
            vote.agreeing = count;
        }
    }
    vote.disagreement = vote.answering > 0 && !vote.address;
    return vote;
}

std::string DescribeAnswers(const std::vector<SourceAnswer>& answers) {
    std::string text;
    for (const SourceAnswer& a : answers) {
        if (!text.empty()) text += "; ";
        text += a.address ? Text<Msg::WanSourceSaid>(a.source, *a.address) : Text<Msg::WanSourceGaveNothing>(a.source, a.problem);
    }
    return text;
}

std::string UnreachableReason(const std::string& address) {
    const int family = AddressFamilyOf(address);
    if (family == 0 || IsGloballyReachable(address)) return std::string();
    if (family == AF_INET6) return Text<Msg::WanNotGlobal6>();
    // The ranges a router hands out behind NAT, and the shared range of
    // carrier-grade NAT: both mean a further router stands between this
    // machine and the Internet. Loopback is left to the test set-ups.
    if (address.rfind("127.", 0) == 0) return std::string();
    if (address.rfind("100.", 0) == 0) return Text<Msg::WanInCgnatRange>();
    return Text<Msg::WanPrivateAddress>();
}

std::vector<SourceAnswer> AskSources(const std::vector<WanSource>& sources, IpFamily family,
                                     const std::string& start, const std::string& end,
                                     std::chrono::milliseconds timeout, std::vector<HttpFetchResult>* pages) {
    std::vector<HttpRequest> requests;
    for (const WanSource& s : sources) requests.push_back(HttpRequest{s.url, family});
    std::vector<HttpFetchResult> fetched = HttpGetAll(requests, timeout);
    const int wanted = family == IpFamily::V4 ? AF_INET : family == IpFamily::V6 ? AF_INET6 : 0;
    std::vector<SourceAnswer> answers;
    for (std::size_t i = 0; i < sources.size(); ++i)
        answers.push_back(ReadAnswer(sources[i], fetched[i], wanted, start, end));
    if (pages != nullptr) *pages = std::move(fetched);
    return answers;
}

}  // namespace zelmar
