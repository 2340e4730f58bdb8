// The network watcher: which kernel announcements count, the quiet period
// that turns a burst into one call, the start-up back-off, and the watcher
// itself in a private network namespace where addresses come and go on lo.
#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/address/netlink_addresses.h"
#include "app/address/network_watcher.h"
#include "app/address/wan_sources.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using namespace std::chrono_literals;
using Clock = QuietPeriod::Clock;

namespace {

TEST(NetworkWatcher, AddressLinkAndRouteMessagesAreChanges) {
    const std::pair<std::uint16_t, bool> cases[] = {
        {RTM_NEWADDR, true},  {RTM_DELADDR, true},  {RTM_NEWLINK, true},  {RTM_DELLINK, true},
        {RTM_NEWROUTE, true}, {RTM_DELROUTE, true}, {RTM_NEWNEIGH, false}, {RTM_NEWRULE, false},
        {NLMSG_DONE, false},
    };
    for (const auto& [type, change] : cases) {
        nlmsghdr h{};
        h.nlmsg_type = type;
        EXPECT_EQ(IsNetworkChange(&h), change) << type;
    }
}

TEST(NetworkWatcher, QuietPeriodRestartsWithEachEvent) {
    QuietPeriod q(2000ms);
    const auto t0 = Clock::now();
    EXPECT_FALSE(q.Fire(t0 + 1h)) << "nothing happened";
    q.Note(t0);
    q.Note(t0 + 1500ms);  // the burst goes on
    EXPECT_FALSE(q.Fire(t0 + 3499ms));
    EXPECT_TRUE(q.Fire(t0 + 3500ms));
    EXPECT_FALSE(q.Fire(t0 + 3501ms)) << "one call per burst";
    EXPECT_FALSE(q.due());
}

TEST(NetworkWatcher, StartupBackoffDoublesUpToTheInterval) {
    StartupBackoff b = StartupBackoffFor(1);
    std::vector<long long> seconds;
    for (int i = 0; i < 6; ++i) seconds.push_back(std::chrono::duration_cast<std::chrono::seconds>(b.Next()).count());
    EXPECT_EQ(seconds, (std::vector<long long>{5, 10, 20, 40, 60, 60}));
    b.Reset();
    EXPECT_EQ(b.Next(), 5s);
    StartupBackoff unscheduled = StartupBackoffFor(0);
    for (int i = 0; i < 20; ++i) unscheduled.Next();
    EXPECT_EQ(unscheduled.Next(), 1h);
}

// Waits (at most 5 s) until the counter reaches n.
bool AwaitCalls(const std::atomic<int>& calls, int n) {
    for (int i = 0; i < 500 && calls.load() < n; ++i) std::this_thread::sleep_for(10ms);
    return calls.load() >= n;
}

// Runs in a child process inside its own network namespace; the exit code
// says what went wrong (77: no namespace to be had).
int WatchInNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) return 77;
    if (std::system("ip link set lo up") != 0) return 77;
    std::atomic<int> calls{0};
    NetworkWatcher watcher(300ms, [&] { ++calls; });
    std::string error;
    if (!watcher.Start(&error)) return 3;
    std::this_thread::sleep_for(600ms);
    if (calls != 0) return 4;  // nothing changed since the start
    if (std::system("ip addr add 10.9.9.9/8 dev lo") != 0) return 77;
    if (!AwaitCalls(calls, 1)) return 5;
    // A burst: three addresses at once are one call after the quiet time.
    if (std::system("ip addr add 10.9.9.10/8 dev lo && ip addr add fd00::9/64 dev lo && "
                    "ip addr add 10.9.9.11/8 dev lo") != 0)
        return 77;
    if (!AwaitCalls(calls, 2)) return 6;
    std::this_thread::sleep_for(800ms);
    if (calls != 2) return 7;
    // Renewed lifetimes (a router's periodic announcement) change nothing
    // the program shows: announcements, but no call.
    if (std::system("ip -6 addr change fd00::9/64 dev lo valid_lft 2000 preferred_lft 1000") != 0) return 77;
    std::this_thread::sleep_for(800ms);
    if (calls != 2) return 11;
    if (std::system("ip addr del 10.9.9.9/8 dev lo") != 0) return 77;
    if (!AwaitCalls(calls, 3)) return 8;
    // The kernel's tables show the namespace's own addresses.
    auto addresses = ReadInterfaceAddresses(&error);
    if (!addresses) return 9;
    bool seen = false;
    for (const InterfaceAddress& a : *addresses) seen = seen || (a.Text() == "fd00::9" && a.ifname == "lo");
    if (!seen) return 10;
    watcher.Stop();
    return 0;
}

TEST(NetworkWatcher, SeesAddressesComeAndGoInAPrivateNamespace) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(WatchInNamespace());
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(child, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(child, &status, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the watcher did not finish within 30 s";
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private network namespace here (unshare or ip failed)";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "step that failed (see WatchInNamespace)";
}

// The whole program in a private namespace: an idle headless Zelmar (no
// timer, no start-up refresh) refreshes within seconds of an address
// appearing on lo, and not before.
TEST(NetworkWatcher, HeadlessProgramRefreshesOnAnAddressChange) {
    if (::geteuid() != 0 || std::system("unshare -n true 2>/dev/null") != 0)
        GTEST_SKIP() << "a private network namespace needs root and unshare";
    test::ScratchDir dir;
    test::WriteFile(dir / "Zelmar.ini",
                    "[LocalSettings]\nFTPServer=ftp.example\nSiteName=s\nUserID=u\nPassword=p\nOnlineFile=on.htm\n"
                    "OfflineFile=off.htm\nRemoteFile=r.htm\nPort=21\nEnableFTP=0\nWANIPURL=http://127.0.0.1:9/\n"
                    "[Preferences]\nIsUpdateOnStart=0\nRefreshIntv=0\nTimeout=2\n");
    const std::string script =
        "ip link set lo up || exit 77\n"
        "cd '" + dir.path() + "' || exit 2\n"
        "XDG_RUNTIME_DIR='" + dir.path() + "' '" ZELMAR_BINARY "' --headless >out.txt 2>err.txt &\n"
        "pid=$!\n"
        "sleep 2\n"
        "grep -c 'Requesting WAN' out.txt >before.txt\n"
        "ip addr add 10.9.9.9/8 dev lo || exit 77\n"
        "i=0; while [ $i -lt 100 ] && ! grep -q 'Requesting WAN' out.txt; do sleep 0.1; i=$((i+1)); done\n"
        "kill -TERM $pid; wait $pid\n"
        "exit 0\n";
    test::WriteFile(dir / "run.sh", script);
    const int status = std::system(("unshare -n sh '" + dir.path() + "/run.sh'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "ip could not change the namespace's lo";
    ASSERT_EQ(0, WEXITSTATUS(status)) << test::ReadFile(dir / "err.txt");
    EXPECT_EQ("0\n", test::ReadFile(dir / "before.txt")) << "no refresh before the change";
    const std::string out = test::ReadFile(dir / "out.txt");
    const std::size_t change = out.find("Network change detected: refreshing.");
    ASSERT_NE(std::string::npos, change) << out;
    EXPECT_NE(std::string::npos, out.find("Requesting WAN IP address from http://127.0.0.1:9/", change)) << out;
}

// The whole program started before its echo page can be reached: the
// start-up refresh fails, the back-off retries it (after 5 s; the steps
// themselves are checked above) and the retry after the page appeared logs
// the WAN address.
TEST(NetworkWatcher, HeadlessStartupRetriesUntilTheEchoPageAppears) {
    if (::geteuid() != 0 || std::system("unshare -n true 2>/dev/null") != 0)
        GTEST_SKIP() << "a private network namespace needs root and unshare";
    test::ScratchDir dir;
    test::WriteFile(dir / "ip", "REMOTE_ADDR: 203.0.113.7<br>\n");  // the default delimiters
    const std::string port = std::to_string(test::FreePort());
    test::WriteFile(dir / "Zelmar.ini",
                    "[LocalSettings]\nFTPServer=ftp.example\nSiteName=s\nUserID=u\nPassword=p\nOnlineFile=on.htm\n"
                    "OfflineFile=off.htm\nRemoteFile=r.htm\nPort=21\nEnableFTP=0\nWANIPURL=http://127.0.0.1:" +
                        port + "/ip\n[Preferences]\nIsUpdateOnStart=1\nRefreshIntv=0\nTimeout=2\n");
    // The page appears once the start-up refresh has failed, well before
    // the first retry (5 s), which must find it.
    const std::string script =
        "ip link set lo up && ip route add default dev lo || exit 77\n"
        "cd '" + dir.path() + "' || exit 2\n"
        "XDG_RUNTIME_DIR='" + dir.path() + "' '" ZELMAR_BINARY "' --headless >out.txt 2>err.txt &\n"
        "pid=$!\n"
        "i=0; while [ $i -lt 150 ] && ! grep -q 'Unable to retrieve WAN' out.txt; do sleep 0.1; i=$((i+1)); done\n"
        "grep -c 'Requesting WAN IP address from' out.txt >before.txt\n"
        "'" + std::string(test::kSystemPython) + "' -m http.server " + port + " --bind 127.0.0.1 >server.txt 2>&1 &\n"
        "server=$!\n"
        "i=0; while [ $i -lt 150 ] && ! grep -q 'WAN IP: 203.0.113.7' out.txt; do sleep 0.1; i=$((i+1)); done\n"
        "kill -TERM $pid; wait $pid; kill $server; wait $server\n"
        "exit 0\n";
    test::WriteFile(dir / "run.sh", script);
    const int status = std::system(("unshare -n sh '" + dir.path() + "/run.sh'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "ip could not set up the namespace's lo";
    ASSERT_EQ(0, WEXITSTATUS(status)) << test::ReadFile(dir / "err.txt");
    EXPECT_EQ("1\n", test::ReadFile(dir / "before.txt")) << "the start-up refresh alone";
    const std::string out = test::ReadFile(dir / "out.txt");
    EXPECT_NE(std::string::npos, out.find("WAN IP: 203.0.113.7")) << out << test::ReadFile(dir / "server.txt");
}

// A start-up before the echo page can be reached: the retries follow the
// back-off and the first one after the page appears gets the address.
TEST(NetworkWatcher, BackoffReachesAnEchoPageThatAppearsLate) {
    test::ScratchDir dir;
    test::WriteFile(dir / "ip", "203.0.113.7\n");
    const int port = test::FreePort();
    const std::vector<WanSource> sources{{"http://127.0.0.1:" + std::to_string(port) + "/ip", false}};
    StartupBackoff backoff(200ms, 800ms);
    std::unique_ptr<test::ChildProcess> server;
    std::vector<std::chrono::milliseconds> waits;
    std::optional<std::string> got;
    std::string firstProblem;
    for (int attempt = 0; attempt < 12 && !got; ++attempt) {
        const std::vector<SourceAnswer> answers = AskSources(sources, IpFamily::V4, "", "", 2s);
        got = answers.front().address;
        if (attempt == 0) firstProblem = answers.front().problem;
        if (got) break;
        if (attempt == 1) {
            server = std::make_unique<test::ChildProcess>(std::vector<std::string>{
                test::kSystemPython, "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1",
                "--directory", dir.path()});
            ASSERT_TRUE(test::WaitForPort(port));
        }
        waits.push_back(backoff.Next());
        std::this_thread::sleep_for(waits.back());
    }
    EXPECT_EQ(got.value_or("<none>"), "203.0.113.7");
    EXPECT_EQ(0u, firstProblem.rfind("no answer (", 0)) << firstProblem;
    ASSERT_EQ(waits.size(), 2u) << "the first attempt after the page appeared succeeds";
    EXPECT_EQ(waits[0], 200ms);
    EXPECT_EQ(waits[1], 400ms);
}

}  // namespace
