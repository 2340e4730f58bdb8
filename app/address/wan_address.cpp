#include "app/address/wan_address.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sys/socket.h>

#include "app/address/http_fetch.h"
#include "app/address/netlink_addresses.h"
#include "app/address/router_address.h"
#include "app/address/wan_source_list.h"
#include "app/address/wan_sources.h"
#include "app/core/core.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"
#include "app/core/version.h"
#include "net/default_timeout.h"

namespace zelmar {

namespace {

// A system message starts with its class and number ("SM1001: ", "SM20042 "),
// eight characters the user is not shown.
constexpr std::size_t kSystemMessageCodeChars = 8;

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

void ShowSystemMessage(Core& core, const std::string& message) {
    MessageBoxRequest box;
    box.text = message.size() > kSystemMessageCodeChars ? message.substr(kSystemMessageCodeChars) : std::string();
    box.caption = "Zelmar";
    box.buttons = MbButtons::Ok;
    core.MessageBox(box);
}

// A failed copy is of no concern to the lookup: nothing is reported.
void WriteDebugCopy(const std::string& path, const std::string& page) {
    // Never through a link planted under the name (it would overwrite the
    // link's target), and only into a regular file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0) {
        int err = 0;
        WriteAll(fd, page, err);
    }
    ::close(fd);
}

std::chrono::seconds Timeout(const Settings& s) {
    // The whole answer is awaited, not a fixed moment's worth of it, but
    // never longer than the connection time-out of the settings.
    return std::chrono::seconds(TimeoutOrDefault(s.Timeout));
}

// The address a lookup leaves, and whether it is a good one.
struct WanLookupResult {
    Address address;
    bool ok = false;
};

// What the sources of one family gave, and the lines that say so.
struct CrossChecked {
    std::optional<std::string> address;
    bool disagreement = false;
    std::string firstPage;  // for the debug copy
    bool haveFirstPage = false;
    std::string described;
    bool unanimous = false;
};

CrossChecked AskAll(const std::vector<WanSource>& sources, IpFamily family, const Settings& s) {
    std::string start = s.StartDelimiter, end = s.EndDelimiter;
    if (start.empty() || end.empty()) {
        start = "REMOTE_ADDR:";
        end = "<br>";
    }
    std::vector<HttpFetchResult> pages;
    const std::vector<SourceAnswer> answers = AskSources(sources, family, start, end, Timeout(s), &pages);
    const WanVote vote = Vote(answers);
    CrossChecked c;
    c.address = vote.address;
    c.disagreement = vote.disagreement;
    c.described = DescribeAnswers(answers);
    c.unanimous = vote.agreeing == static_cast<int>(answers.size());
    if (!pages.empty() && pages.front().ok) {
        c.firstPage = pages.front().body.substr(0, pages.front().body.find('\0'));
        c.haveFirstPage = true;
    }
    return c;
}

std::string JoinUrls(const std::vector<WanSource>& sources) {
    std::string text;
    for (const WanSource& w : sources) text += (text.empty() ? "" : ", ") + w.url;
    return text;
}

// The end of a cross-checked lookup for one family ("IP" or "IPv6"): the
// agreed address, or what a failure leaves, with its status lines.
WanLookupResult Conclude(const PostLine& post, const Settings& s, const CrossChecked& c, const std::string& what,
                         const std::string& label, const Address& last) {
    WanLookupResult r;
    if (c.address) {
        r = {Address(*c.address), true};
        if (!c.unanimous)
            post(Message(Msg::WanSourcesPartial, {what, c.described}));
    } else if (c.disagreement) {
        // No majority: any of the answers may be the wrong one, so none is
        // published; the last good address stays.
        r = {last, false};
        post(Message(Msg::WanSourcesDisagree, {what, last.Shown(), c.described}));
    } else {
        r = {s.UpdateOnNAIP == 1 ? Address() : last, false};
        post(Message(Msg::WanSourcesFailed, {what, label, c.described}));
    }
    return r;
}

void WarnWhenUnreachable(const PostLine& post, const WanLookupResult& r, const std::string& what) {
    if (!r.ok) return;
    const std::string why = UnreachableReason(r.address.text());
    if (why.empty()) return;
    post(Message(Msg::WanUnreachable, {what, r.address.text(), why}));
}

// The list of sources of one family, with a line for each item left out.
WanSourceList ReadSourceList(const IniFile& ini, const std::string& key, const PostLine& post) {
    WanSourceList list = ParseWanSourceList(ini.GetString(kLocalSettings, key));
    for (const std::string& item : list.refused) post(Message(Msg::WanSourceRefused, {item, key}));
    return list;
}

bool ListHas(const WanSourceList& list, WanSourceKind kind) {
    for (const WanSourceItem& item : list.items)
        if (item.kind == kind) return true;
    return false;
}

// "the command ddns-address": the program alone, never its arguments (a
// token on the command line must not reach the log).
std::string CommandLabel(const std::string& line) {
    std::string program = line.substr(0, line.find_first_of(" \t"));
    program.erase(std::remove_if(program.begin(), program.end(), [](char c) { return c == '\'' || c == '"'; }),
                  program.end());
    return Text<Msg::CommandLabel>(program);
}

// One lookup over a list of sources: each asked in turn until one gives an
// address, what the router said kept for the double-NAT warning.
class SourceRound {
public:
    SourceRound(const Settings& s, IniFile& ini, const PostLine& post, const WanLookupOptions& options, int family,
                Address last)
        : s_(s), ini_(ini), post_(post), options_(options), family_(family), last_(std::move(last)),
          what_(family == AF_INET6 ? "IPv6" : "IP") {}

    // The echo pages' lookup, made by the caller (it has its own lines).
    void TakeEcho(const WanLookupResult& r, const std::string& label) {
        candidate_.reset();
        source = label;
        if (!r.ok) return;
        echoed = r.address.text();
        candidate_ = r;
    }

    void Ask(const WanSourceItem& item) {
        candidate_.reset();
        switch (item.kind) {
            case WanSourceKind::Router: AskTheRouter(); break;
            case WanSourceKind::Interface: AskInterface(item.argument); break;
            case WanSourceKind::Command: AskCommand(item.argument); break;
            case WanSourceKind::Web: break;
        }
    }

    // Whether the item just asked settled the lookup. A private router
    // address is kept in reserve while further sources may find the public
    // one.
    bool Decided(const WanSourceItem& item, bool lastItem) {
        if (!candidate_) return false;
        if (item.kind == WanSourceKind::Router && JudgeRouterAddress(routerAddress_, "") != RouterVerdict::Fine &&
            !lastItem) {
            reserve_ = candidate_;
            reserveSource_ = source;
            candidate_.reset();
            return false;
        }
        taken_ = candidate_;
        fromRouter = item.kind == WanSourceKind::Router;
        return true;
    }

    // The router's address for the comparison alone: no lines.
    void AskRouterQuietly() {
        routerAsked = true;
        RouterAnswer a = AskRouter(Query());
        Remember(a);
        if (a.ok && AddressFamilyOf(a.address) == AF_INET && IsAddressLiteral(a.address)) routerAddress_ = a.address;
    }

    // The warning, once per change of what the router says: the router's
    // address behind another NAT, or not the one the Internet sees.
    void TellAboutRouter() {
        if (routerAddress_.empty()) return;
        ini_.WriteString(kIPAddress, "LastRouterWANIP", routerAddress_);
        const RouterVerdict verdict = JudgeRouterAddress(routerAddress_, echoed);
        std::string told;
        if (verdict == RouterVerdict::Private || verdict == RouterVerdict::SharedCgnat) told = routerAddress_;
        if (verdict == RouterVerdict::Mismatch) told = routerAddress_ + " " + echoed;
        if (told == ini_.GetString(kIPAddress, "RouterWarning", "", 100)) return;
        ini_.WriteString(kIPAddress, "RouterWarning", told.empty() ? std::nullopt : std::optional<std::string>(told));
        if (verdict == RouterVerdict::Private) post_(Message(Msg::RouterBehindNat, {routerAddress_}));
        if (verdict == RouterVerdict::SharedCgnat) post_(Message(Msg::RouterBehindCgnat, {routerAddress_}));
        if (verdict == RouterVerdict::Mismatch) post_(Message(Msg::RouterMismatch, {routerAddress_, echoed}));
    }

    WanLookupResult Result() {
        if (taken_) return *taken_;
        if (reserve_) {
            fromRouter = true;
            source = reserveSource_;
            return *reserve_;
        }
        return {s_.UpdateOnNAIP == 1 ? Address() : last_, false};
    }

    std::string echoed;
    std::string source;
    bool routerAsked = false;
    bool fromRouter = false;

private:
    RouterQuery Query() const {
        RouterQuery q;
        q.rememberedUrl = ini_.GetString(kIPAddress, "LastRouterURL", "", 400);
        q.timeout = Timeout(s_);
        q.natpmpGateway = options_.routerGateway;
        q.multicastInterface = options_.routerSearchInterface;
        return q;
    }

    // A router found by a search is the one asked first next time.
    void Remember(const RouterAnswer& a) {
        if (a.ok && !a.url.empty() && a.url != ini_.GetString(kIPAddress, "LastRouterURL", "", 400))
            ini_.WriteString(kIPAddress, "LastRouterURL", a.url);
    }

    void Named(const std::string& label) {
        source = label;
        post_(Message(family_ == AF_INET6 ? Msg::RequestingWan6 : Msg::RequestingWan, {label}));
    }

    void Fail(const std::string& label, const std::string& problem) {
        post_(Message(Msg::WanSourcesFailed, {what_, label, problem}));
    }

    // A source's text passes the checks of an echo page's answer.
    bool Check(const std::string& label, const std::string& text) {
        HttpFetchResult page;
        page.ok = true;
        page.body = text;
        const SourceAnswer a = ReadAnswer(WanSource{label, false}, page, family_, "", "");
        if (!a.address) {
            Fail(label, a.problem);
            return false;
        }
        candidate_ = WanLookupResult{Address(*a.address), true};
        return true;
    }

    void AskTheRouter() {
        routerAsked = true;
        if (family_ == AF_INET6) {
            Fail(Text<Msg::RouterUnnamed>(), Text<Msg::RouterIpv4Only>());
            return;
        }
        std::string label = Text<Msg::RouterUnnamed>();
        RouterAnswer a = AskRouter(Query(), [&](const std::string& router, const std::string& protocol) {
            label = Text<Msg::RouterLabel>(router, protocol);
            Named(label);
        });
        Remember(a);
        if (!a.ok) {
            Fail(label, a.problem);
            return;
        }
        if (Check(label, a.address)) routerAddress_ = candidate_->address.text();
    }

    void AskInterface(const std::string& name) {
        const std::string label = Text<Msg::InterfaceLabel>(name);
        Named(label);
        std::string error;
        const auto addresses = ReadInterfaceAddresses(&error);
        if (!addresses) {
            Fail(label, error);
            return;
        }
        const std::string address = GlobalAddressOfInterface(*addresses, name, family_);
        if (address.empty()) {
            Fail(label, Text<Msg::NoGlobalAddress>(family_ == AF_INET6 ? "IPv6" : "IPv4"));
            return;
        }
        Check(label, address);
    }

    void AskCommand(const std::string& line) {
        const std::string label = CommandLabel(line);
        Named(label);
        if (!options_.runCommand) {
            Fail(label, Text<Msg::CommandsNotRunnable>());
            return;
        }
        const CommandAnswer c = options_.runCommand(line, Timeout(s_));
        if (!c.ok) {
            Fail(label, c.problem);
            return;
        }
        const std::string first = FirstLineOf(c.output);
        Check(label, first);
    }

    const Settings& s_;
    IniFile& ini_;
    const PostLine& post_;
    const WanLookupOptions& options_;
    int family_;
    Address last_;
    std::string what_;
    std::optional<WanLookupResult> candidate_, taken_, reserve_;
    std::string reserveSource_;
    std::string routerAddress_;
};

}  // namespace

WanLookupOptions DefaultWanLookupOptions() {
    WanLookupOptions o{kDefaultWanHost, kProductVersion};
    o.builtInSources4 = BuiltInWanSources(IpFamily::V4);
    o.builtInSources6 = BuiltInWanSources(IpFamily::V6);
    return o;
}

std::string GetWanAddress(Core& core, const WanLookupOptions& options) {
    const LookedUpAddress found = LookUpWanAddress(core, options);
    return found.ended ? std::string() : found.current.Shown();
}

namespace {

// The IPv4 address from the echo pages (or the default service), with its
// status lines; found.ended when the service told the program to end.
WanLookupResult AskEchoPages4(Core& core, const WanLookupOptions& options, LookedUpAddress& found) {
    IniFile& ini = core.ini();
    const Address& last = found.previous;
    const PostLine post = [&core](StatusMessage m) { core.PostStatusMessage(std::move(m)); };
    const std::string custom = ini.GetString(kLocalSettings, "WANIPURL");
    const std::vector<std::string> checks =
        SplitBlanks(ini.GetString(kLocalSettings, "WANCheckURLs", "", kMaxEmailToChars));
    std::vector<WanSource> sources;
    if (!custom.empty() && !checks.empty()) sources.push_back(WanSource{custom, true});
    if (custom.empty())
        for (const std::string& b : options.builtInSources4) sources.push_back(WanSource{b, false});
    if (!sources.empty())
        for (const std::string& c : checks) sources.push_back(WanSource{c, false});

    const Settings s = core.settings();
    const bool debugCopy = ini.GetString(kPreferences, "DebugWANPage", "FALSE") == "TRUE";
    const std::string debugPath =
        core.startDirectory().empty() ? "WANPage.html" : core.startDirectory() + "/WANPage.html";

    WanLookupResult result;
    if (!sources.empty()) {
        const std::string label = JoinUrls(sources);
        found.source = label;
        core.PostStatusMessage(Message(Msg::RequestingWan, {label}));
        const CrossChecked c = AskAll(sources, IpFamily::V4, s);
        if (debugCopy && c.haveFirstPage) WriteDebugCopy(debugPath, c.firstPage);
        result = Conclude(post, s, c, "IP", label, last);
    } else {
        const bool defaultService = custom.empty();
        std::string label, url;
        if (defaultService) {
            label = "http://" + options.defaultHost + kWanServicePath;
            url = label + "?app=zmretail&ver=" + (options.productVersion.empty() ? "N/A" : options.productVersion);
        } else {
            label = url = custom;
        }
        found.source = label;
        core.PostStatusMessage(Message(Msg::RequestingWan, {label}));

        std::optional<std::string> address;
        const HttpFetchResult fetched = HttpGet(url, Timeout(s));
        if (fetched.ok) {
            // The page is text: it ends at the first zero byte.
            const std::string page = fetched.body.substr(0, fetched.body.find('\0'));
            if (debugCopy) WriteDebugCopy(debugPath, page);

            std::string start = s.StartDelimiter, end = s.EndDelimiter;
            if (start.empty() || end.empty()) {
                start = "REMOTE_ADDR:";
                end = "<br>";
            }
            address = WanAddressFromPage(page, start, end);

            if (defaultService) {
                const std::string message = SystemMessageOf(page);
                if (StartsWith(message, "SM1001")) {
                    // The service has retired this version: tell the user and
                    // end the program, leaving the stored address as it was.
                    core.SendRestoreMainWindow();
                    ShowSystemMessage(core, message);
                    core.SendClose();
                    found.current = found.previous;
                    found.ended = true;
                    return {found.previous, false};
                }
                if (StartsWith(message, "SM2")) {
                    core.SendRestoreMainWindow();
                    ShowSystemMessage(core, message);
                }
            }
        }
        if (address) {
            result = {Address(*address), true};
        } else {
            result = {s.UpdateOnNAIP == 1 ? Address() : last, false};
            core.PostStatusMessage(Message(Msg::WanLookupFailed, {label}));
        }
    }

    return result;
}

}  // namespace

LookedUpAddress LookUpWanAddress(Core& core, const WanLookupOptions& options) {
    IniFile& ini = core.ini();
    // Only a real address is ever stored, in full: this is the last one.
    LookedUpAddress found;
    found.previous = Address(ini.GetString(kIPAddress, "LastWANIP", "", kStoredAddress6Chars));
    const PostLine post = [&core](StatusMessage m) { core.PostStatusMessage(std::move(m)); };
    const WanSourceList list = ReadSourceList(ini, "WANSource", post);

    WanLookupResult result;
    bool fromRouter = false;
    if (IsWebOnly(list)) {
        result = AskEchoPages4(core, options, found);
        if (found.ended) return found;
    } else {
        const Settings s = core.settings();
        SourceRound round(s, ini, post, options, AF_INET, found.previous);
        for (const WanSourceItem& item : list.items) {
            if (item.kind == WanSourceKind::Web) {
                LookedUpAddress web = found;
                const WanLookupResult r = AskEchoPages4(core, options, web);
                if (web.ended) return web;
                round.TakeEcho(r, web.source);
            } else {
                round.Ask(item);
            }
            // A router behind another router gives a private address: a
            // further source may still find the public one.
            if (round.Decided(item, &list.items.back() == &item)) break;
        }
        // The echo pages answered first: the router, if it is a source too,
        // is still asked, to see whether it agrees with them.
        if (!round.echoed.empty() && !round.routerAsked && ListHas(list, WanSourceKind::Router))
            round.AskRouterQuietly();
        round.TellAboutRouter();
        result = round.Result();
        found.source = round.source;
        fromRouter = round.fromRouter;
    }

    if (!fromRouter) WarnWhenUnreachable(post, result, "IP");
    // A failed lookup stores nothing: "LastWANIP" keeps the last real
    // address, the one a later change is told against.
    if (result.ok) ini.WriteString(kIPAddress, "LastWANIP", result.address.text());
    found.current = result.address;
    found.failed = !result.ok;
    return found;
}

namespace {

// The IPv6 address from "WANIPURL6" or the built-in sources; nullopt when
// there is no page to ask.
std::optional<WanLookupResult> AskEchoPages6(const Settings& settings, IniFile& ini, const PostLine& post,
                                             const WanLookupOptions& options, LookedUpAddress& found) {
    const std::string custom = ini.GetString(kLocalSettings, "WANIPURL6");
    std::vector<WanSource> sources;
    if (!custom.empty()) {
        sources.push_back(WanSource{custom, true});
    } else if (ini.GetString(kLocalSettings, "WANIPURL").empty()) {
        // The public services only for a machine that uses them for IPv4
        // too: whoever named an echo page of their own is not sent to
        // strangers' pages behind their back.
        for (const std::string& b : options.builtInSources6) sources.push_back(WanSource{b, false});
    }
    if (sources.empty()) return std::nullopt;

    found.source = JoinUrls(sources);
    post(Message(Msg::RequestingWan6, {found.source}));
    const CrossChecked c = AskAll(sources, IpFamily::V6, settings);
    return Conclude(post, settings, c, "IPv6", found.source, found.previous);
}

}  // namespace

LookedUpAddress LookUpWanAddress6(const Settings& settings, IniFile& ini, const PostLine& post,
                                  const WanLookupOptions& options) {
    LookedUpAddress found;
    found.previous = Address(ini.GetString(kIPAddress, "LastWANIP6", "", kStoredAddress6Chars));
    // Without an IPv6 route there is nothing to ask, and no error to report
    // on every refresh of an IPv4-only machine.
    if (options.needIpv6Route && !DefaultRouteSource(AF_INET6)) return found;
    const WanSourceList list = ReadSourceList(ini, "WANSource6", post);

    WanLookupResult result;
    if (IsWebOnly(list)) {
        const std::optional<WanLookupResult> web = AskEchoPages6(settings, ini, post, options, found);
        if (!web) return found;
        result = *web;
    } else {
        SourceRound round(settings, ini, post, options, AF_INET6, found.previous);
        for (const WanSourceItem& item : list.items) {
            if (item.kind == WanSourceKind::Web) {
                LookedUpAddress web = found;
                const std::optional<WanLookupResult> r = AskEchoPages6(settings, ini, post, options, web);
                if (!r) continue;
                round.TakeEcho(*r, web.source);
            } else {
                round.Ask(item);
            }
            if (round.Decided(item, &list.items.back() == &item)) break;
        }
        result = round.Result();
        found.source = round.source;
    }
    WarnWhenUnreachable(post, result, "IPv6");
    if (result.ok) ini.WriteString(kIPAddress, "LastWANIP6", result.address.text());
    found.current = result.address;
    found.failed = !result.ok;
    return found;
}

}  // namespace zelmar
