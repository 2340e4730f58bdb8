#include "app/address/wan_address.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sys/socket.h>

#include "app/address/http_fetch.h"
#include "app/address/netlink_addresses.h"
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

LookedUpAddress LookUpWanAddress(Core& core, const WanLookupOptions& options) {
    IniFile& ini = core.ini();
    // Only a real address is ever stored, in full: this is the last one.
    LookedUpAddress found;
    found.previous = Address(ini.GetString(kIPAddress, "LastWANIP", "", kStoredAddress6Chars));
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
                    return found;
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

    WarnWhenUnreachable(post, result, "IP");
    // A failed lookup stores nothing: "LastWANIP" keeps the last real
    // address, the one a later change is told against.
    if (result.ok) ini.WriteString(kIPAddress, "LastWANIP", result.address.text());
    found.current = result.address;
    found.failed = !result.ok;
    return found;
}

LookedUpAddress LookUpWanAddress6(const Settings& settings, IniFile& ini, const PostLine& post,
                                  const WanLookupOptions& options) {
    LookedUpAddress found;
    found.previous = Address(ini.GetString(kIPAddress, "LastWANIP6", "", kStoredAddress6Chars));
    // Without an IPv6 route there is nothing to ask, and no error to report
    // on every refresh of an IPv4-only machine.
    if (options.needIpv6Route && !DefaultRouteSource(AF_INET6)) return found;
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
    if (sources.empty()) return found;

    found.source = JoinUrls(sources);
    post(Message(Msg::RequestingWan6, {found.source}));
    const CrossChecked c = AskAll(sources, IpFamily::V6, settings);
    const WanLookupResult result = Conclude(post, settings, c, "IPv6", found.source, found.previous);
    WarnWhenUnreachable(post, result, "IPv6");
    if (result.ok) ini.WriteString(kIPAddress, "LastWANIP6", result.address.text());
    found.current = result.address;
    found.failed = !result.ok;
    return found;
}

}  // namespace zelmar
