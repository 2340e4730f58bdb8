#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

#include "app/address/lan_address.h"
#include "app/address/wan_address.h"
#include "app/core/core.h"
#include "tests/address/echo_servers.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::EchoServers;
using test::FakeHost;
using test::ScratchDir;

constexpr const char* kNa = "N/A";

// Records the order of blocking sends to the main loop and message boxes.
class TracingHost : public FakeHost {
public:
    void SendToMain(const std::function<void()>& fn) override {
        trace.push_back("send");
        FakeHost::SendToMain(fn);
    }
    MbAnswer MessageBox(const MessageBoxRequest& r) override {
        trace.push_back("box");
        return FakeHost::MessageBox(r);
    }
    std::vector<std::string> trace;
};

class WanAddressTest : public test::CoreTestOn<TracingHost> {
protected:
    static void SetUpTestSuite() {
        // The lookup honours curl's proxy variables; the loopback servers
        // must be reached directly.
        for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(v);
        servers = new EchoServers();
    }
    static void TearDownTestSuite() {
        delete servers;
        servers = nullptr;
    }
    void SetUp() override {
        CoreTestOn::SetUp();
        ASSERT_TRUE(servers->ok()) << servers->failure();
        MakeCore(std::nullopt, "key");
        core->LoadOrCreateSettings();
        host.lines.clear();
    }

    void UseUrl(const std::string& url) { core->ini().WriteString(kLocalSettings, "WANIPURL", url); }
    void UseDefaultService(const std::string& prefix = "") {
        core->ini().WriteString(kLocalSettings, "WANIPURL", std::nullopt);
        options.defaultHost = "127.0.0.1:" + std::to_string(servers->port()) + prefix;
    }
    std::string Stored() { return core->ini().GetString(kIPAddress, "LastWANIP", "<missing>"); }
    void SetTimeout(int seconds) {
        core->EditSettings([seconds](Settings& s) { s.Timeout = seconds; });
    }
    std::string Lookup() { return GetWanAddress(*core, options); }

    // The two lines of a failed lookup, or the one of a good one.
    void ExpectLines(const std::string& label, bool failed, const std::string& warning = "") {
        std::vector<std::string> want{"Requesting WAN IP address from " + label + " ..."};
        if (failed) want.push_back("ERROR: Unable to retrieve WAN IP address from " + label);
        if (!warning.empty()) want.push_back(warning);
        EXPECT_EQ(want, host.lines);
    }

    static EchoServers* servers;
    WanLookupOptions options{"127.0.0.1:1", "0.1.0"};
};

EchoServers* WanAddressTest::servers = nullptr;

TEST_F(WanAddressTest, CutsTheAddressOutOfCustomPages) {
    struct Case {
        const char* what;
        std::string url;
        const char* want;
    };
    const Case cases[] = {
        {"echo page", servers->Url("/echo"), "127.0.0.1"},
        {"blanks around the address are trimmed", servers->Url("/blanks"), "203.0.113.7"},
        {"the first of two entries", servers->Url("/two"), "10.1.1.1"},
        {"only white space between the delimiters is a failed lookup", servers->Url("/white"), kNa},
        {"the HTTP status is not examined", servers->Url("/error500"), "127.0.0.1"},
        {"a system message on a custom page is ignored", servers->Url("/custom-sm"), "127.0.0.1"},
        {"the address arrives after a pause", servers->Url("/slow"), "127.0.0.1"},
        {"a page over 1 MiB is cut, the address is in the first part", servers->Url("/big-first"), "127.0.0.1"},
        {"no end delimiter", servers->Url("/noend"), kNa},
        {"delimiters are case-sensitive", servers->Url("/lowercase"), kNa},
        {"an error page without the delimiters", servers->Url("/notfound"), kNa},
        {"a redirect is not followed", servers->Url("/redirect"), kNa},
        {"the address lies beyond the first 1 MiB", servers->Url("/big-last"), kNa},
        {"a page shorter than announced", servers->PythonUrl("/truncated"), kNa},
        {"the page text ends at a zero byte", servers->PythonUrl("/nul"), kNa},
        {"the end delimiter is looked for after the start delimiter", servers->Url("/br-first"), "198.51.100.4"},
        {"an IPv6 address", servers->Url("/v6"), "2001:db8::7"},
        {"markup is no address", servers->Url("/script"), kNa},
        {"page tokens are no address", servers->Url("/tokens"), kNa},
        {"an address with more text is no address", servers->Url("/trailing"), kNa},
        {"a 100 000-character line is no address", servers->Url("/longline"), kNa},
        {"a line break inside is no address", servers->Url("/inject"), kNa},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host.lines.clear();
        UseUrl(c.url);
        const std::string before = Stored();
        const LookedUpAddress r = LookUpWanAddress(*core, options);
        EXPECT_EQ(c.want, r.current.Shown());
        EXPECT_EQ(c.url, r.source);
        // A failed lookup stores nothing: the last real address stays.
        EXPECT_EQ(std::string(c.want) == kNa ? before : c.want, Stored());
        ExpectLines(c.url, std::string(c.want) == kNa,
                    std::string(c.want) == "10.1.1.1"
                        ? "WARNING: The WAN IP address 10.1.1.1 cannot be reached from the Internet: it is a "
                          "private address."
                        : "");
        EXPECT_TRUE(host.boxes.empty());
        EXPECT_TRUE(host.uiRequests.empty());
    }
    const std::string log = servers->AccessLog("GET /inject");
    const std::size_t redirect = log.find("GET /redirect HTTP/1.1|Zelmar\n");
    ASSERT_NE(std::string::npos, redirect);
    EXPECT_NE(0u, log.compare(log.find('\n', redirect) + 1, 9, "GET /echo")) << "the redirect was followed";
}

TEST_F(WanAddressTest, FailuresGiveNotAvailableWithinTheTimeout) {
    SetTimeout(1);
    const std::string cases[] = {
        "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/refused",
        servers->Url("/hang"),  // connected, but the answer never comes
        "http://127.0.0.1:99999/echo",
        "http://[127.0.0.1/echo",
        "ftp://127.0.0.1:" + std::to_string(servers->port()) + "/echo",  // only http and https
        "http://no-such-host.invalid/echo",
        "https://127.0.0.1:" + std::to_string(servers->tlsPort()) + "/self-signed",  // certificate checked
    };
    for (const std::string& url : cases) {
        SCOPED_TRACE(url);
        host.lines.clear();
        UseUrl(url);
        EXPECT_EQ(kNa, Lookup());
        EXPECT_EQ("<missing>", Stored());
        ExpectLines(url, true);
    }
}

TEST_F(WanAddressTest, FailureKeepsTheLastAddressWhenNotAvailableIsNotWanted) {
    core->EditSettings([](Settings& s) { s.UpdateOnNAIP = 0; });
    core->ini().WriteString(kIPAddress, "LastWANIP", "203.0.113.7");
    UseUrl(servers->Url("/noend"));
    const LookedUpAddress r = LookUpWanAddress(*core, options);
    EXPECT_EQ("203.0.113.7", r.previous);
    EXPECT_EQ("203.0.113.7", r.current);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ("203.0.113.7", Stored());
    ExpectLines(servers->Url("/noend"), true);
}

TEST_F(WanAddressTest, DelimitersWithQuotesFromTheSettingsFile) {
    // The first worked example of the README, against a local copy of the page.
    core->ini().WriteString(kPreferences, "StartDelimiter", "{\"ip\":\"");
    core->ini().WriteString(kPreferences, "EndDelimiter", "\"}");
    core->LoadOrCreateSettings();
    UseUrl(servers->Url("/json"));
    EXPECT_EQ("127.0.0.1", Lookup());
}

TEST_F(WanAddressTest, DefaultServiceIsAskedWithTheProductVersion) {
    core->ini().WriteString(kPreferences, "DebugWANPage", "TRUE");
    UseDefaultService();
    const std::string label = "http://127.0.0.1:" + std::to_string(servers->port()) + "/cgi-bin/ip.asp";
    EXPECT_EQ(label, LookUpWanAddress(*core, options).source);
    ExpectLines(label, false);
    EXPECT_EQ("<html>REMOTE_ADDR: 127.0.0.1<br>args=app=zmretail&ver=0.1.0</html>",
              test::ReadFile(dir / "WANPage.html"));
    EXPECT_NE(std::string::npos, servers->AccessLog("ver=0.1.0").find("GET /cgi-bin/ip.asp?app=zmretail&ver=0.1.0 HTTP/1.1|Zelmar\n"));

    // Unknown version: "N/A" is sent. The debug copy wants exactly "TRUE".
    ::unlink((dir / "WANPage.html").c_str());
    core->ini().WriteString(kPreferences, "DebugWANPage", "true");
    options.productVersion.clear();
    EXPECT_EQ("127.0.0.1", Lookup());
    EXPECT_NE(std::string::npos, servers->AccessLog("ver=N/A").find("GET /cgi-bin/ip.asp?app=zmretail&ver=N/A HTTP/1.1"));
    EXPECT_EQ("", test::ReadFile(dir / "WANPage.html"));
}

// A link planted under the debug copy's name is not written through: its
// target stays as it was, and the lookup goes on.
TEST_F(WanAddressTest, TheDebugCopyNeverFollowsALink) {
    core->ini().WriteString(kPreferences, "DebugWANPage", "TRUE");
    UseDefaultService();
    test::WriteFile(dir / "victim.txt", "keep me");
    ASSERT_EQ(::symlink((dir / "victim.txt").c_str(), (dir / "WANPage.html").c_str()), 0);
    EXPECT_EQ("127.0.0.1", Lookup());
    EXPECT_EQ("keep me", test::ReadFile(dir / "victim.txt"));
}

TEST_F(WanAddressTest, OversizedPageIsCutAtOneMebibyte) {
    core->ini().WriteString(kPreferences, "DebugWANPage", "TRUE");
    UseUrl(servers->Url("/big-first"));
    EXPECT_EQ("127.0.0.1", Lookup());
    EXPECT_EQ(1024u * 1024u, test::ReadFile(dir / "WANPage.html").size());
}

TEST_F(WanAddressTest, SystemMessageOfClassTwoIsShownAndTheAddressUsed) {
    UseDefaultService("/sm2");
    EXPECT_EQ("127.0.0.1", Lookup());
    ASSERT_EQ(1u, host.boxes.size());
    EXPECT_EQ("Maintenance on Sunday", host.boxes[0].text);
    EXPECT_EQ(MbButtons::Ok, host.boxes[0].buttons);
    EXPECT_EQ(std::vector<test::UiCall>{test::UiCall::MainWindowRestored}, host.uiRequests);
    EXPECT_EQ("127.0.0.1", Stored());

    // Without its closing tag there is no system message.
    host.boxes.clear();
    host.uiRequests.clear();
    UseDefaultService("/sm2-unclosed");
    EXPECT_EQ("127.0.0.1", Lookup());
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(host.uiRequests.empty());
}

TEST_F(WanAddressTest, SystemMessageSm1001EndsTheProgramLeavingTheAddressAlone) {
    core->ini().WriteString(kIPAddress, "LastWANIP", "198.51.100.1");
    UseDefaultService("/sm1001");
    const LookedUpAddress r = LookUpWanAddress(*core, options);
    EXPECT_TRUE(r.ended);
    ASSERT_EQ(1u, host.boxes.size());
    EXPECT_EQ("This version is retired.", host.boxes[0].text);
    ASSERT_FALSE(host.uiRequests.empty());
    EXPECT_EQ(test::UiCall::MainWindowRestored, host.uiRequests[0]);
    // The box runs on the main loop; after it exactly one more request goes
    // there: the close.
    const auto box = std::find(host.trace.begin(), host.trace.end(), "box");
    EXPECT_EQ((std::vector<std::string>{"box", "send"}), std::vector<std::string>(box, host.trace.end()));
    EXPECT_EQ("198.51.100.1", r.current);
    EXPECT_EQ("198.51.100.1", Stored());
    EXPECT_EQ(1u, host.lines.size()) << "nothing is posted after the request line";
}

// "LastWANIP" holds a whole IPv6 address, so the same address found again is
// no change (with "FTPOnIPChangeOnly" a shortened form would upload at every
// refresh) and a different one with the same first characters is one.
TEST_F(WanAddressTest, LongAddressesAreStoredWholeAndCompareCorrectly) {
    UseUrl(servers->Url("/long1"));
    const std::string first = "2001:db8:85a3::8a2e:370:7334";
    LookedUpAddress r = LookUpWanAddress(*core, options);
    EXPECT_EQ(first, r.current);
    EXPECT_FALSE(r.previous.known());
    EXPECT_EQ(first, Stored());

    r = LookUpWanAddress(*core, options);
    EXPECT_EQ(first, r.previous) << "the same long text again is no change";

    UseUrl(servers->Url("/long2"));
    r = LookUpWanAddress(*core, options);
    EXPECT_EQ("2001:db8:85a3::8a2e:370:9999", r.current);
    EXPECT_EQ(first, r.previous) << "same first 20 characters, still a change";

    core->EditSettings([](Settings& s) { s.UpdateOnNAIP = 0; });
    UseUrl(servers->Url("/noend"));
    EXPECT_EQ("2001:db8:85a3::8a2e:370:9999", Lookup());
}

TEST(WanAddressFromPage, OnlyAddressLiteralsOrNothing) {
    struct Case {
        std::string page;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"REMOTE_ADDR:203.0.113.7<br>", "203.0.113.7"},
        {"REMOTE_ADDR: \r\n203.0.113.7\t<br>", "203.0.113.7"},
        {"REMOTE_ADDR:  <br>", std::nullopt},
        {"REMOTE_ADDR: <br>", std::nullopt},
        {"REMOTE_ADDR:::1<br>", "::1"},
        {"REMOTE_ADDR:::ffff:192.0.2.1<br>", "::ffff:192.0.2.1"},
        {"REMOTE_ADDR:ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255<br>", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"},
        {"x<br>REMOTE_ADDR:10.0.0.1<br>", "10.0.0.1"},
        {"REMOTE_ADDR:256.1.1.1<br>", std::nullopt},
        {"REMOTE_ADDR:1.2.3<br>", std::nullopt},
        {"REMOTE_ADDR:01.2.3.4<br>", std::nullopt},
        {"REMOTE_ADDR:fe80::1%eth0<br>", std::nullopt},
        {"REMOTE_ADDR:1.2.3.4 5.6.7.8<br>", std::nullopt},
        {"REMOTE_ADDR:example.org<br>", std::nullopt},
        {"REMOTE_ADDR:%WI<br>", std::nullopt},
        {std::string("REMOTE_ADDR:1.2.3.4\0<br>", 22), std::nullopt},
        {"REMOTE_ADDR:1.2.3.4", std::nullopt},
        {"<br>1.2.3.4", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        EXPECT_EQ(c.want, WanAddressFromPage(c.page, "REMOTE_ADDR:", "<br>"));
    }
}

TEST_F(WanAddressTest, LineBreaksInThePageCannotReachTheSettingsFile) {
    const std::string server = core->ini().GetString(kLocalSettings, "FTPServer");
    UseUrl(servers->Url("/inject"));
    const std::string got = Lookup();
    EXPECT_EQ(std::string::npos, got.find_first_of("\r\n"));
    EXPECT_EQ(server, core->ini().GetString(kLocalSettings, "FTPServer"));
    EXPECT_TRUE(core->ini().GetSection(kIPAddress).empty()) << "no address: nothing is stored";
}

// Several sources at once against the loopback echo pages: the majority's
// address, which source said what when they differ, and the last good
// address kept when no majority exists.
TEST_F(WanAddressTest, CrossCheckedSourcesNeedAMajority) {
    const std::string echo = servers->Url("/echo"), bare = servers->Url("/bare"), other = servers->Url("/bare-other"),
                      two = servers->Url("/bare-two"), missing = servers->Url("/notfound"),
                      priv = servers->Url("/bare-private"), cgnat = servers->Url("/bare-cgnat");
    struct Case {
        const char* what;
        std::string url;     // "WANIPURL"; empty: the built-in list below
        std::string checks;  // "WANCheckURLs"
        std::vector<std::string> builtIn;
        int updateOnNa;
        const char* want;
        bool ok;
        std::vector<std::string> lines;  // after the request line
    };
    const std::string kept = "203.0.113.1";
    const Case cases[] = {
        {"own page and a check agree", echo, bare, {}, 1, "127.0.0.1", true, {}},
        {"two of three", echo, bare + " " + other, {}, 1, "127.0.0.1", true,
         {"WARNING: Not every WAN IP address source agreed: " + echo + " said 127.0.0.1; " + bare +
          " said 127.0.0.1; " + other + " said 198.51.100.9"}},
        {"a tie keeps the last good address", echo, "\t" + other + "  ", {}, 1, "203.0.113.1", false,
         {"ERROR: The WAN IP address sources disagree, keeping 203.0.113.1: " + echo + " said 127.0.0.1; " + other +
          " said 198.51.100.9"}},
        {"built-in list, HTML and two addresses are no answer", "", "", {bare, two, missing}, 1, "127.0.0.1", true,
         {"WARNING: Not every WAN IP address source agreed: " + bare + " said 127.0.0.1; " + two +
          " gave no address (more than one address); " + missing + " gave no address (not an address)"}},
        {"nothing answers", "", "", {two, missing}, 1, kNa, false,
         {"ERROR: Unable to retrieve WAN IP address from " + two + ", " + missing + ": " + two +
          " gave no address (more than one address); " + missing + " gave no address (not an address)"}},
        {"nothing answers, last kept", "", "", {two, missing}, 0, "203.0.113.1", false,
         {"ERROR: Unable to retrieve WAN IP address from " + two + ", " + missing + ": " + two +
          " gave no address (more than one address); " + missing + " gave no address (not an address)"}},
        {"a private majority is taken with a warning", "", "", {priv, priv, bare}, 1, "10.1.2.3", true,
         {"WARNING: Not every WAN IP address source agreed: " + priv + " said 10.1.2.3; " + priv +
          " said 10.1.2.3; " + bare + " said 127.0.0.1",
          "WARNING: The WAN IP address 10.1.2.3 cannot be reached from the Internet: it is a private address."}},
        {"carrier-grade NAT", "", "", {cgnat, cgnat}, 1, "100.64.0.1", true,
         {"WARNING: The WAN IP address 100.64.0.1 cannot be reached from the Internet: it lies in the "
          "carrier-grade NAT range 100.64.0.0/10."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host.lines.clear();
        core->ini().WriteString(kIPAddress, "LastWANIP", kept);
        core->ini().WriteString(kLocalSettings, "WANCheckURLs", c.checks);
        core->EditSettings([&](Settings& s) { s.UpdateOnNAIP = c.updateOnNa; });
        UseUrl(c.url);
        options.builtInSources4 = c.builtIn;
        const LookedUpAddress r = LookUpWanAddress(*core, options);
        EXPECT_EQ(c.want, r.current);
        EXPECT_EQ(c.ok, !r.failed);
        EXPECT_EQ(c.ok ? std::string(c.want) : std::string(kept), Stored()) << "a failed lookup stores nothing";
        ASSERT_FALSE(host.lines.empty());
        EXPECT_EQ(0u, host.lines.front().rfind("Requesting WAN IP address from ", 0));
        EXPECT_EQ(c.lines, std::vector<std::string>(host.lines.begin() + 1, host.lines.end()));
    }
}

// The IPv6 lookup goes over IPv6 only: the same page named by its IPv4
// address gives nothing.
TEST_F(WanAddressTest, Ipv6LookupUsesIpv6Only) {
    options.needIpv6Route = false;
    const auto post = [this](StatusMessage m) { host.lines.push_back(m.text); };
    const std::string v6 = "http://[::1]:" + std::to_string(servers->port()) + "/bare";
    core->ini().WriteString(kLocalSettings, "WANIPURL6", v6);
    core->ini().WriteString(kIPAddress, "LastWANIP6", "2001:db8::5");
    LookedUpAddress r = LookUpWanAddress6(core->settings(), core->ini(), post, options);
    EXPECT_FALSE(r.failed);
    EXPECT_EQ("2001:db8::5", r.previous);
    EXPECT_EQ("::1", r.current);
    EXPECT_EQ("::1", core->ini().GetString(kIPAddress, "LastWANIP6"));
    EXPECT_TRUE(host.Shown("WARNING: The WAN IPv6 address ::1 cannot be reached from the Internet: it is not a "
                           "global IPv6 address."));

    host.lines.clear();
    core->ini().WriteString(kLocalSettings, "WANIPURL6", servers->Url("/bare"));
    r = LookUpWanAddress6(core->settings(), core->ini(), post, options);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(kNa, r.current);
    ASSERT_EQ(2u, host.lines.size());
    EXPECT_EQ(0u, host.lines[1].rfind("ERROR: Unable to retrieve WAN IPv6 address from " + servers->Url("/bare"), 0));

    // An own IPv4 page and no IPv6 page: no strangers' pages are asked.
    host.lines.clear();
    UseUrl(servers->Url("/echo"));
    core->ini().WriteString(kLocalSettings, "WANIPURL6", "");
    options.builtInSources6 = {v6};
    r = LookUpWanAddress6(core->settings(), core->ini(), post, options);
    EXPECT_EQ("", r.current);
    EXPECT_TRUE(host.lines.empty());
    UseUrl("");
    EXPECT_EQ("::1", LookUpWanAddress6(core->settings(), core->ini(), post, options).current);

    // The IPv4 lookup of the cross-check refuses the IPv6 way in.
    options.builtInSources4 = {v6, v6};
    EXPECT_TRUE(LookUpWanAddress(*core, options).failed);
}

TEST_F(WanAddressTest, Ipv6LanAddressKeepsItsPrevious) {
    core->ini().WriteString(kIPAddress, "LastLANIP6", "fd00::77");
    const LookedUpAddress lan6 = LookUpLanAddress6(core->ini(), "");
    EXPECT_EQ("fd00::77", lan6.previous);
    EXPECT_EQ(lan6.current, LanAddress6(""));
    // Only a real address is stored.
    EXPECT_EQ(lan6.current.known() ? lan6.current.text() : "fd00::77",
              core->ini().GetString(kIPAddress, "LastLANIP6", "<missing>"));
}

}  // namespace
}  // namespace zelmar
