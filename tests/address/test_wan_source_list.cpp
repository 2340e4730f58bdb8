// Where the WAN address comes from: the list, the router (miniupnpd; a
// scripted NAT-PMP gateway for what miniupnpd refuses to be), an interface
// and a command, each also through the whole program's "--once".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_addr.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <tuple>

#include "app/address/router_address.h"
#include "app/address/wan_source_list.h"
#include "tests/support/private_network.h"

namespace zelmar {
namespace {

using namespace test;
using namespace std::chrono_literals;

TEST(WanSourceList, ReadsEachItemAndRefusesTheRest) {
    using K = WanSourceKind;
    const std::vector<std::tuple<const char*, std::vector<WanSourceItem>, std::vector<std::string>>> rows = {
        {"", {{K::Web, ""}}, {}},
        {"router, web", {{K::Router, ""}, {K::Web, ""}}, {}},
        {"interface:eth0,router", {{K::Interface, "eth0"}, {K::Router, ""}}, {}},
        {"command:/bin/get-ip -4 --x y, web", {{K::Command, "/bin/get-ip -4 --x y"}, {K::Web, ""}}, {}},
        // A quoted comma belongs to the command.
        {"command:printf '%s,\\n' 1.2.3.4,web", {{K::Command, "printf '%s,\\n' 1.2.3.4"}, {K::Web, ""}}, {}},
        {"interface:,command:,Router,upnp", {{K::Web, ""}}, {"interface:", "command:", "Router", "upnp"}},
        {"interface:eth 0,router", {{K::Router, ""}}, {"interface:eth 0"}},
        {" , ,web,,", {{K::Web, ""}}, {}},
    };
    for (const auto& [setting, items, refused] : rows) {
        EXPECT_EQ(items, ParseWanSourceList(setting).items) << setting;
        EXPECT_EQ(refused, ParseWanSourceList(setting).refused) << setting;
    }
    EXPECT_TRUE(IsWebOnly(ParseWanSourceList("web, nonsense")) && !IsWebOnly(ParseWanSourceList("web, router")));
}

TEST(WanSourceList, JudgesTheRoutersAddressAtTheRangeEdges) {
    using V = RouterVerdict;
    const std::vector<std::tuple<const char*, const char*, V>> rows = {
        {"81.2.69.160", "", V::Fine},
        {"81.2.69.160", "81.2.69.160", V::Fine},
        {"81.2.69.160", "81.2.69.161", V::Mismatch},
        {"100.63.255.255", "", V::Fine},
        {"100.64.0.0", "", V::SharedCgnat},
        {"100.127.255.255", "81.2.69.161", V::SharedCgnat},
        {"172.31.255.255", "172.31.255.255", V::Private},
        {"100.128.0.0", "", V::Fine},
        {"10.0.0.1", "", V::Private},
    };
    for (const auto& [router, echoed, verdict] : rows)
        EXPECT_EQ(verdict, JudgeRouterAddress(router, echoed)) << router << " / " << echoed;
}

TEST(WanSourceList, TakesTheFirstGlobalAddressOfTheInterface) {
    std::vector<InterfaceAddress> table;
    for (const auto& [ifname, text, flags] : std::vector<std::tuple<const char*, std::string, std::uint32_t>>{
             {"eth0", "192.168.1.5", 0}, {"eth1", "81.2.69.1", 0}, {"eth0", "81.2.69.7", 0}, {"eth0", "81.2.69.8", 0},
             {"eth0", "fd00::5", 0}, {"eth0", "2001:db8::1", IFA_F_TEMPORARY}, {"eth0", "2001:db8::2", IFA_F_DEPRECATED},
             {"eth0", "2001:db8::3", IFA_F_TENTATIVE}, {"eth0", "2001:db8::4", 0}}) {
        InterfaceAddress& a = table.emplace_back();
        a.ifname = ifname;
        a.family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
        ::inet_pton(a.family, text.c_str(), a.bytes.data());
        a.flags = flags;
    }
    EXPECT_EQ("81.2.69.7", GlobalAddressOfInterface(table, "eth0", AF_INET));
    EXPECT_EQ("2001:db8::4", GlobalAddressOfInterface(table, "eth0", AF_INET6));
    EXPECT_EQ("", GlobalAddressOfInterface(table, "eth1", AF_INET6));
    EXPECT_EQ("", GlobalAddressOfInterface(table, "eth", AF_INET));
    EXPECT_EQ("1.2.3.4", FirstLineOf("1.2.3.4\r\nsecond\n"));
    EXPECT_EQ("", FirstLineOf("\n1.2.3.4"));
}

// The router asked directly: remembered but gone, NAT-PMP, no address.
TEST(RouterSource, AsksARealRouterInAPrivateNetwork) {
    const std::string url = "http://127.0.0.1:" + std::to_string(kRouterHttpPort) + "/rootDesc.xml";
    const std::string upnp = "UPnP 81.2.69.160 127.0.0.1 " + url;
    const std::string own = "the router has no Internet address of its own";
    // name, the router's options, the URL remembered, what it answers
    const std::vector<std::tuple<const char*, RouterPeerOptions, std::string, std::string>> rows = {
        {"remembered but gone", RouterPeerOptions{}, "http://127.0.0.1:9/rootDesc.xml", upnp},
        {"NAT-PMP alone", RouterPeerOptions{"81.2.69.161", false, true}, "", "NAT-PMP 81.2.69.161 127.0.0.1 "},
        {"a private WAN side", RouterPeerOptions{"", true, true}, "", own + " (UPnP); " + own + " (NAT-PMP)"},
    };
    for (const auto& [name, peerOptions, remembered, expected] : rows) {
        const PrivateNetworkRun run = RunInPrivateNetwork([&] {
            RouterPeer peer(peerOptions);
            if (!peer.ok()) return "no router peer: " + ReadFile(peer.log());
            const RouterAnswer a = AskRouter(RouterQuery{remembered, 1s, "127.0.0.1", ""});
            return a.ok ? a.protocol + " " + a.address + " " + a.router + " " + a.url : a.problem;
        });
        if (run.skipped) GTEST_SKIP() << "a private network namespace needs root";
        EXPECT_TRUE(run.finished) << name;
        EXPECT_EQ(expected, run.text) << name;
    }
}

// "zelmar --once" in dir (the settings of the first run kept): the output
// and the settings file.
std::string RunOnce(const ScratchDir& dir, const std::string& sources, const std::string& echoUrl) {
    if (ReadFile(dir / "Zelmar.ini").empty())
        WriteFile(dir / "Zelmar.ini",
                  "[LocalSettings]\nFTPServer=ftp.example\nSiteName=Site\nUserID=me\nPassword=x\n"
                  "OnlineFile=online.htm\nOfflineFile=offline.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=0\n"
                  "WANIPURL=" + echoUrl + "\nWANSource=" + sources +
                  "\n[Preferences]\nIsLogging=1\nLogFilename=Zelmar.log\nTimeout=1\n");
    const std::string script = "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --once";
    // Each run its own output file: the log of a child is appended to.
    const std::string out = dir / (ReadFile(dir / "out1.txt").empty() ? "out1.txt" : "out2.txt");
    ChildProcess zelmar({"/bin/sh", "-c", script}, out, {{"http_proxy", ""}, {"all_proxy", ""}});
    const int status = zelmar.Wait(30s);
    return "exit " + std::to_string(status) + "\n" + ReadFile(out) + "--- ini ---\n" +
           ReadFile(dir / "Zelmar.ini");
}

// name, WANSource, a miniupnpd runs, the scripted NAT-PMP gateway's address
// (or ""), the echo page's, lines of the first run, the warning the first
// run gives and the second does not ("" none in either).
using OnceRow = std::tuple<const char*, const char*, bool, const char*, const char*, std::vector<std::string>,
                           std::string>;

TEST(WanSourceOnce, TakesEachSourceInTurnInAPrivateNetwork) {
    const std::string own = "WARNING: your router's own Internet address is ";
    const std::vector<OnceRow> rows = {
        {"UPnP", "router,web", true, "", "81.2.69.160",
         {"Requesting WAN IP address from the router 127.0.0.1 (UPnP) ...", "WAN IP: 81.2.69.160"}, ""},
        {"a mismatch", "web,router", true, "", "81.2.69.99", {"WAN IP: 81.2.69.99", "LastRouterWANIP=81.2.69.160"},
         own + "81.2.69.160 but the echo pages see 81.2.69.99"},
        {"no router", "router,interface:lo", false, "", "81.2.69.99",
         {"ERROR: Unable to retrieve WAN IP address from the router 192.168.77.1 (NAT-PMP): no UPnP router "
          "answered; 192.168.77.1 refused NAT-PMP",
          "Requesting WAN IP address from the interface lo ...", "WAN IP: 81.2.69.162"},
         ""},
        {"a silent router", "router,interface:lo", false, "silent", "81.2.69.99",
         {"192.168.77.1 (NAT-PMP): no UPnP router answered; no NAT-PMP answer from 192.168.77.1",
          "WAN IP: 81.2.69.162"},
         ""},
        {"CGNAT", "router,interface:lo", false, "100.64.3.7", "81.2.69.99",
         {"Requesting WAN IP address from the router 192.168.77.1 (NAT-PMP) ...", "WAN IP: 81.2.69.162"},
         own + "100.64.3.7: your provider shares one public address between customers; a published address "
               "will not reach this machine"},
        {"double NAT, the last source", "router", false, "192.168.0.7", "81.2.69.99", {"WAN IP: 192.168.0.7"},
         own + "192.168.0.7: another router stands between it and the Internet (double NAT)"},
    };
    for (const auto& [name, sources, miniupnpd, natpmpAddress, echoed, expected, warning] : rows) {
        const PrivateNetworkRun run = RunInPrivateNetwork([&] {
            if (std::system("ip addr add 81.2.69.162/32 dev lo") != 0) return std::string("no address on lo");
            const auto router = miniupnpd ? std::make_unique<RouterPeer>(RouterPeerOptions{}) : nullptr;
            if (router && !router->ok()) return "no router peer: " + ReadFile(router->log());
            ScratchDir dir;
            const auto natpmp = *natpmpAddress == '\0' ? nullptr : std::make_unique<ChildProcess>(
                std::vector<std::string>{kSystemPython, ZELMAR_NATPMP_PEER, "0.0.0.0", "5351", natpmpAddress},
                dir / "natpmp.log");
            for (int i = 0; natpmp && i < 100 && ReadFile(dir / "natpmp.log").empty(); ++i)
                std::this_thread::sleep_for(50ms);
            EchoPage echo(echoed);
            const std::string first = RunOnce(dir, sources, echo.url());
            return first + "=== second run ===\n" + RunOnce(dir, sources, echo.url());
        });
        if (run.skipped) GTEST_SKIP() << "a private network namespace needs root";
        EXPECT_TRUE(run.finished) << name;
        const std::size_t split = std::min(run.text.find("=== second run ==="), run.text.size());
        const std::string first = run.text.substr(0, split), second = run.text.substr(split);
        for (const std::string& line : expected) EXPECT_NE(std::string::npos, first.find(line)) << name << "\n" << first;
        EXPECT_EQ(warning.empty(), first.find(warning.empty() ? own : warning) == std::string::npos) << name << first;
        EXPECT_EQ(std::string::npos, second.find(warning.empty() ? own : warning)) << name << "\n" << second;
    }
}

// A command prints an address, garbage, nothing, never ends, never starts:
// its address, or after a line saying why the next command's.
TEST(WanSourceOnce, TakesACommandsFirstLineOrGoesOn) {
    EchoPage echo("81.2.69.99");
    const std::string failed = "ERROR: Unable to retrieve WAN IP address from the command ";
    const std::vector<std::tuple<const char*, std::string, const char*>> rows = {
        {"printf '81.2.69.170\\nmore\\n'", "Requesting WAN IP address from the command printf ...", "81.2.69.170"},
        {"echo no-address-here", failed + "echo: not an address", "81.2.69.171"},
        {"true", failed + "true: it printed nothing", "81.2.69.171"},
        {"sleep 60", failed + "sleep: it did not end within 1 seconds and was stopped", "81.2.69.171"},
        {"/nonexistent/get-ip", failed + "/nonexistent/get-ip: ", "81.2.69.171"},
    };
    for (const auto& [command, line, wan] : rows) {
        ScratchDir dir;
        const std::string out = RunOnce(dir, std::string("command:") + command + ", command:echo 81.2.69.171", echo.url());
        EXPECT_NE(std::string::npos, out.find(line)) << command << "\n" << out;
        EXPECT_NE(std::string::npos, out.find(std::string("WAN IP: ") + wan)) << command << "\n" << out;
    }
}

}  // namespace
}  // namespace zelmar
